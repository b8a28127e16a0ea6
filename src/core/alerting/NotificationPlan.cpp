#include "alerting/NotificationPlan.h"

namespace quorvane {

AlertState alertState(const HistoryRecord& history) {
    return AlertState{history.alerted, history.alertedTitles, history.lastDigest};
}

void storeAlertState(HistoryRecord& history, AlertState state) {
    history.alerted = std::move(state.alerted);
    history.alertedTitles = std::move(state.alertedTitles);
    history.lastDigest = state.lastDigest;
}

bool isAlertable(const Issue&) {
    return false;
}

std::vector<Issue> dueIssues(const std::vector<Issue>&, const WatchPreferences&, Date) {
    return {};
}

std::string alertBody(const Issue&, const std::map<std::string, FailureReason>&) {
    return {};
}

DeliveryPlan planDelivery(const std::vector<Issue>&, const std::map<std::string, FailureReason>&,
                          const WatchPreferences&, const AlertState& state, Date,
                          const icu::Calendar&) {
    return DeliveryPlan{{}, state};
}

DeliveryPlan planDelivery(const std::vector<Issue>&, const std::map<std::string, FailureReason>&,
                          const WatchPreferences&, const AlertState& state, Date) {
    return DeliveryPlan{{}, state};
}

Outgoing summaryMessage(std::string_view, std::string_view) {
    return {};
}

std::optional<WeeklySummary> dueWeeklySummary(const WatchPreferences&, const HistoryRecord&,
                                              const std::vector<Issue>&,
                                              const std::optional<TimeMachineSettings>&, Date,
                                              const icu::Calendar&) {
    return std::nullopt;
}

std::optional<WeeklySummary> dueWeeklySummary(const WatchPreferences&, const HistoryRecord&,
                                              const std::vector<Issue>&,
                                              const std::optional<TimeMachineSettings>&, Date) {
    return std::nullopt;
}

std::vector<Outgoing> planAlerts(const std::vector<Issue>&,
                                 const std::map<std::string, FailureReason>&,
                                 const WatchPreferences&, const std::optional<TimeMachineSettings>&,
                                 HistoryRecord&, Date, const icu::Calendar&) {
    return {};
}

std::vector<Outgoing> planAlerts(const std::vector<Issue>&,
                                 const std::map<std::string, FailureReason>&,
                                 const WatchPreferences&, const std::optional<TimeMachineSettings>&,
                                 HistoryRecord&, Date) {
    return {};
}

} // namespace quorvane
