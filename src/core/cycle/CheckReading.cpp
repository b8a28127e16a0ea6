#include "cycle/CheckReading.h"

#include "othertools/OtherTools.h"
#include "othertools/SafeRead.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

namespace quorvane {

Date logWindowStart(const std::optional<Date>& logReadUpTo, Date now) {
    const Date limit = addSeconds(now, -logLookBack);
    return logReadUpTo && *logReadUpTo > limit ? *logReadUpTo : limit;
}

CheckReading readCheck(const Mac& mac, Date logSince, bool nasCheckOn, Date now,
                       const ReachabilityProbe& probe) {
    CheckReading check;
    check.readAt = now;
    check.reading = readTimeMachineSettings(mac);
    if (check.reading.isRead())
        check.reading = SettingsReading::read(withDisplayNames(
            std::move(*check.reading.settings), readDestinationInfo(mac, checkToolTimeout)));
    check.run = readRunState(mac, checkToolTimeout);
    check.log = readTimeMachineLog(mac, logSince);
    check.tools = readOtherTools(mac, now);
    WatchPreferences probing;
    probing.nasCheckOn = nasCheckOn;
    check.unreachable = unreachableHosts(check.reading, probing, probe);
    check.os = currentOS(mac);
    check.cloudStorageNames = folderEntryNames(mac, mac.homePath("Library/CloudStorage"));
    return check;
}

std::vector<std::string> folderEntryNames(const Mac& mac, const std::string& folder) {
    std::vector<std::string> names;
    if (!isRealDirectory(mac, folder))
        return names;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(mac.hostPath(folder), error), end;
         !error && entry != end; entry.increment(error))
        names.push_back(entry->path().filename().string());
    if (error)
        names.clear(); // a listing cut short is no listing
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace quorvane
