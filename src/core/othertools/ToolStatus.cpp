#include "othertools/ToolStatus.h"

#include "health/Days.h"
#include "timemachine/StatusText.h"

#include <unicode/locid.h>
#include <unicode/unistr.h>

#include <algorithm>
#include <array>
#include <iterator>
#include <set>
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

namespace {

std::string lowercased(std::string_view text) {
    std::string result;
    icu::UnicodeString::fromUTF8(
        icu::StringPiece(text.data(), static_cast<std::int32_t>(text.size())))
        .toLower(icu::Locale::getRoot())
        .toUTF8String(result);
    return result;
}

Issue toolIssue(std::string destinationID, HealthLevel level, std::string title,
                std::optional<std::string> detail = std::nullopt,
                std::optional<std::string> check = std::nullopt) {
    return Issue{IssueKind::tool,  std::move(destinationID), level,
                 std::move(title), std::move(detail),        std::move(check)};
}

// The issues of one status, in the order failed, no completed/overdue, warning.
void appendIssues(std::vector<Issue>& issues, const ToolStatus& status, double threshold,
                  Date now) {
    const std::string raw(toText(status.tool));
    const std::string label = status.label();
    const std::string key = "tool:" + status.id();

    if (status.unreadable) {
        std::string detail = status.note ? *status.note : "Checked " + shortDate(now, now) + ".";
        issues.push_back(toolIssue(key, HealthLevel::unknown,
                                   raw + " is installed, but its status couldn't be read",
                                   std::move(detail), "Open " + raw + " to see its status."));
        return;
    }
    if (status.noBackupsSetUp) {
        issues.push_back(toolIssue(key, HealthLevel::green,
                                   raw + " is installed, with no backups set up",
                                   "Nothing to watch in it yet."));
        return;
    }
    if (status.failed) {
        // A reason that already sends the user to the application needs no second pointer.
        std::optional<std::string> check = "Open " + raw + " for the details.";
        if (status.reason &&
            lowercased(*status.reason).find("open " + lowercased(raw)) != std::string::npos)
            check.reset();
        issues.push_back(toolIssue(key, HealthLevel::red, label + ": the last backup failed",
                                   status.reason, std::move(check)));
    }
    if (!status.lastSuccess) {
        if (status.failed)
            return;
        issues.push_back(
            toolIssue(key, HealthLevel::amber, label + ": no completed backup recorded"));
    } else if (double since = secondsBetween(*status.lastSuccess, now); since > threshold) {
        std::string detail = status.tool == ToolStatus::Tool::backblaze
                                 ? "Backblaze reports its last completed backup"
                                 : "Last completed backup";
        detail += ": " + shortDate(*status.lastSuccess, now) + ".";
        if (status.remainingFiles)
            detail += " " + plural(*status.remainingFiles, "file") + " waiting.";
        issues.push_back(toolIssue(key, HealthLevel::red,
                                   label + ": no completed backup in " + plural(days(since), "day"),
                                   std::move(detail), "Open " + raw + " to see why."));
    }
    if (status.warnings && !status.failed && status.reason)
        issues.push_back(
            toolIssue(key + ":warn", HealthLevel::amber, label + ": " + *status.reason));
}

HistoryEvent toolEvent(const ToolStatus& status, Date date, HistoryEvent::Kind kind,
                       std::string text) {
    return HistoryEvent{date,
                        kind,
                        std::string(toText(status.tool)),
                        "tool:" + status.id(),
                        status.label(),
                        std::move(text),
                        std::nullopt};
}

} // namespace

std::vector<Issue> toolIssues(const std::vector<ToolStatus>& statuses,
                              const WatchPreferences& prefs, Date now) {
    const double threshold = static_cast<double>(prefs.overdueDays) * 86400.0;
    std::vector<Issue> issues;
    for (const ToolStatus& status : statuses)
        appendIssues(issues, status, threshold, now);
    return issues;
}

void recordToolEvents(const std::vector<ToolStatus>& statuses, HistoryRecord& history) {
    // Identities as the history stood on entry; candidates are checked against these only.
    // Remembered dates come back from the file to the whole second, so both sides are
    // compared at that precision.
    std::set<std::string> known;
    for (const HistoryEvent& event : history.events)
        known.insert(storedIdentity(event));

    auto add = [&](HistoryEvent event) {
        if (!known.contains(storedIdentity(event)))
            history.events.push_back(std::move(event));
    };
    for (const ToolStatus& status : statuses) {
        if (status.unreadable)
            continue;
        if (status.lastSuccess)
            add(toolEvent(status, *status.lastSuccess, HistoryEvent::Kind::completed,
                          "Backup completed"));
        if (status.failed && status.lastAttempt)
            add(toolEvent(status, *status.lastAttempt, HistoryEvent::Kind::failed,
                          status.reason.value_or("Backup failed")));
    }

    std::stable_sort(history.events.begin(), history.events.end(),
                     [](const HistoryEvent& a, const HistoryEvent& b) { return a.date < b.date; });
    if (history.events.size() > historyCap)
        history.events.erase(history.events.begin(),
                             history.events.begin() +
                                 static_cast<std::ptrdiff_t>(history.events.size() - historyCap));
}

} // namespace quorvane
