#include "cycle/CheckReading.h"

namespace quorvane {

Date logWindowStart(const std::optional<Date>& logReadUpTo, Date now) {
    const Date limit = addSeconds(now, -logLookBack);
    return logReadUpTo && *logReadUpTo > limit ? *logReadUpTo : limit;
}

CheckReading readCheck(const Mac&, Date, bool, Date, const ReachabilityProbe&) {
    return {};
}

std::vector<std::string> folderEntryNames(const Mac&, const std::string&) {
    return {};
}

} // namespace quorvane
