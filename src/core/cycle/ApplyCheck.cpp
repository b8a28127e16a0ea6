#include "cycle/ApplyCheck.h"

namespace quorvane {

Issue notificationsBlockedIssue() {
    return Issue{IssueKind::notificationsBlocked,
                 std::nullopt,
                 HealthLevel::amber,
                 std::string(notificationsBlockedTitle),
                 std::string(notificationsBlockedDetail),
                 std::string(notificationsBlockedCheck)};
}

std::vector<FailureReason> logReasons(const std::optional<LogReading>&) {
    return {};
}

std::map<std::string, FailureReason> destinationReasons(const TimeMachineSettings&,
                                                        const std::vector<FailureReason>&) {
    return {};
}

CheckOutcome applyCheck(const CheckReading&, const WatchPreferences&, HistoryRecord history, bool,
                        const Mac&, Date) {
    return CheckOutcome{std::move(history), {}, std::nullopt, std::nullopt};
}

} // namespace quorvane
