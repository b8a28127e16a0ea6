#include "othertools/Backblaze.h"

#include "health/Days.h"
#include "othertools/SafeRead.h"
#include "othertools/ToolText.h"
#include "timemachine/StatusText.h"

#include <filesystem>
#include <string>
#include <utility>

namespace quorvane {

namespace {

constexpr std::size_t reportLimit = 1'000'000;
constexpr std::size_t pauseLimit = 64'000;
// A pause ending further ahead than this is not believed: it is shown without an end.
constexpr double longestPause = 34'560'000.0; // 400 days

constexpr std::string_view manualOnly = "set to back up only when you click Backup Now.";

std::string report(std::string_view file) {
    return std::string(backblazeReports) + std::string(file);
}

std::string dataFile(std::string_view file) {
    return std::string(backblazeInstall) + "/bzdata/" + std::string(file);
}

bool exists(const Mac& mac, std::string_view path) {
    std::error_code error;
    return std::filesystem::exists(mac.hostPath(path), error);
}

// The reports are not parsed as XML: the value of the first `name="..."` found by plain search.
std::optional<std::string_view> attribute(std::optional<std::string_view> text,
                                          std::string_view name) {
    if (!text)
        return std::nullopt;
    const std::string needle = std::string(name) + "=\"";
    std::size_t at = text->find(needle);
    if (at == std::string_view::npos)
        return std::nullopt;
    at += needle.size();
    std::size_t close = text->find('"', at);
    if (close == std::string_view::npos)
        return std::nullopt;
    return text->substr(at, close - at);
}

std::optional<Date> millisDate(std::optional<std::string_view> value) {
    if (!value)
        return std::nullopt;
    std::optional<double> millis = decimalNumber(*value);
    if (!millis)
        return std::nullopt;
    return dateFromUnix(*millis / 1000.0);
}

} // namespace

std::optional<std::string> backblazePauseText(std::optional<std::string_view> pauseInfo, Date now) {
    if (!pauseInfo)
        return "paused.";
    const std::optional<Date> until = plausibleDate(
        millisDate(attribute(pauseInfo, "pauseuntil_gmt_millis")), addSeconds(now, longestPause));
    if (until && *until <= now)
        return std::nullopt;
    const std::string why = lowercased(attribute(pauseInfo, "pauseuntil_reason").value_or(""));
    if (why.find("down") != std::string::npos || why.find("network") != std::string::npos) {
        std::string again = until ? " It tries again " + shortDate(*until, now) + "." : "";
        return "can't reach its servers right now, so backing up is on hold." + again;
    }
    if (!until)
        return "paused.";
    return "paused until " + shortDate(*until, now) + ".";
}

ToolStatus parseBackblaze(std::optional<std::string_view> lastCompleted,
                          std::optional<std::string_view> remaining, bool paused,
                          std::optional<std::string_view> schedule,
                          std::optional<std::string_view> pauseInfo, Date now) {
    const std::optional<Date> last = millisDate(attribute(lastCompleted, "gmt_millis"));
    std::optional<std::int64_t> remainingFiles;
    if (std::optional<std::string_view> value = attribute(remaining, "remainingnumfilesforbackup"))
        remainingFiles = decimalInteger(*value);
    const bool manual = schedule == "only_when_click_backup_now";

    bool warnings = false;
    std::optional<std::string> reason;
    if (paused) {
        reason = backblazePauseText(pauseInfo, now);
        if (!reason && manual)
            reason = std::string(manualOnly);
        warnings = reason.has_value();
    } else if (manual) {
        warnings = true;
        reason = std::string(manualOnly);
    }
    return ToolStatus(ToolStatus::Tool::backblaze, std::nullopt, "Backblaze (cloud)", last,
                      std::nullopt, false, warnings, std::move(reason), remainingFiles, false, now);
}

std::optional<std::vector<ToolStatus>> readBackblaze(const Mac& mac, Date now) {
    if (!exists(mac, backblazeInstall))
        return std::nullopt;
    const std::optional<std::string> lastCompleted =
        readSmallText(mac, report("bzstat_lastbackupcompleted.xml"), reportLimit);
    const std::optional<std::string> remaining =
        readSmallText(mac, report("bzstat_remainingbackup.xml"), reportLimit);
    if (!lastCompleted && !remaining) {
        // Installed but has never reported: a running client that has not finished its first
        // backup yet has nothing set up to watch; otherwise we simply can't tell.
        const bool idle = exists(mac, report("bzserv_heartbeat.txt")) ||
                          exists(mac, report("bzstat_startinstallmillis.txt"));
        ToolStatus status(ToolStatus::Tool::backblaze, std::nullopt, std::nullopt, std::nullopt,
                          std::nullopt, false, false, std::nullopt, std::nullopt, !idle, now);
        status.noBackupsSetUp = idle;
        return std::vector<ToolStatus>{std::move(status)};
    }

    const bool paused = exists(mac, dataFile("pauseinfo.xml"));
    const std::optional<std::string> settings =
        readSmallText(mac, dataFile("bzinfo.xml"), reportLimit);
    const std::optional<std::string_view> schedule =
        attribute(settings ? std::optional<std::string_view>(*settings) : std::nullopt,
                  "backup_schedule_type");
    std::optional<std::string> pauseInfo;
    if (paused)
        pauseInfo = readSmallText(mac, dataFile("pauseinfo.xml"), pauseLimit);

    auto view = [](const std::optional<std::string>& text) {
        return text ? std::optional<std::string_view>(*text) : std::nullopt;
    };
    return std::vector<ToolStatus>{parseBackblaze(view(lastCompleted), view(remaining), paused,
                                                  schedule, view(pauseInfo), now)};
}

} // namespace quorvane
