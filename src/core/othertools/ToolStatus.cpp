#include "othertools/ToolStatus.h"

#include "health/Days.h"

#include <array>
#include <utility>

namespace quorvane {

ToolStatus::ToolStatus(Tool tool, std::optional<std::string> name,
                       std::optional<std::string> destination, std::optional<Date> lastSuccess,
                       std::optional<Date> lastAttempt, bool failed, bool warnings,
                       std::optional<std::string> reason,
                       std::optional<std::int64_t> remainingFiles, bool unreadable, Date now)
    : tool(tool), name(std::move(name)), destination(std::move(destination)),
      lastSuccess(plausibleDate(lastSuccess, now)), lastAttempt(plausibleDate(lastAttempt, now)),
      failed(failed), warnings(warnings), reason(std::move(reason)), remainingFiles(remainingFiles),
      unreadable(unreadable) {}

std::string ToolStatus::id() const {
    std::string result(toText(tool));
    result += '/';
    result += name ? *name : "-";
    return result;
}

std::string ToolStatus::label() const {
    std::string result(toText(tool));
    if (name) {
        result += ": ";
        result += *name;
    }
    return result;
}

std::string_view toText(ToolStatus::Tool tool) {
    switch (tool) {
    case ToolStatus::Tool::arq:
        return "Arq";
    case ToolStatus::Tool::ccc:
        return "Carbon Copy Cloner";
    case ToolStatus::Tool::backblaze:
        return "Backblaze";
    case ToolStatus::Tool::vorta:
        return "Vorta";
    case ToolStatus::Tool::superDuper:
        return "SuperDuper!";
    case ToolStatus::Tool::duplicati:
        return "Duplicati";
    case ToolStatus::Tool::chronoSync:
        return "ChronoSync";
    }
    return "";
}

std::optional<ToolStatus::Tool> toolFromText(std::string_view raw) {
    using Tool = ToolStatus::Tool;
    static constexpr std::array all{Tool::arq,        Tool::ccc,       Tool::backblaze, Tool::vorta,
                                    Tool::superDuper, Tool::duplicati, Tool::chronoSync};
    for (Tool tool : all)
        if (toText(tool) == raw)
            return tool;
    return std::nullopt;
}

} // namespace quorvane
