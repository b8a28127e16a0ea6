#include "alerting/NotificationPlan.h"

#include "health/Changes.h"

#include <set>

namespace quorvane {

namespace {

Outgoing message(std::string identifier, std::string title, std::string body,
                 std::string genericTitle, std::string genericBody, bool urgent,
                 NotificationSound sound = NotificationSound::standard) {
    return Outgoing{
        OffMacMessage{title, body, std::move(genericTitle), std::move(genericBody), urgent},
        LocalNotification{std::move(identifier), std::move(title), std::move(body), sound}};
}

std::string digestTitle(std::size_t count) {
    return count == 1 ? "Quorvane Ombrel: 1 problem"
                      : "Quorvane Ombrel: " + std::to_string(count) + " problems";
}

void appendSentence(std::string& body, const std::string& text) {
    if (!body.empty())
        body += ' ';
    body += text;
}

// The delivery once the quiet hours are known.
DeliveryPlan plan(const std::vector<Issue>& issues,
                  const std::map<std::string, FailureReason>& reasons,
                  const WatchPreferences& prefs, const AlertState& state, Date now, bool quiet) {
    DeliveryPlan result{{}, state};
    // Pending alerts wait for the first check after the quiet hours, cleared ones included.
    if (quiet)
        return result;
    AlertState& next = result.state;
    const std::vector<Issue> due = dueIssues(issues, prefs, now);

    if (prefs.notifyWhenFixed)
        for (const std::string& id : resolvedAlerts(next.alerted, issues)) {
            const auto remembered = next.alertedTitles.find(id);
            const std::string title = remembered != next.alertedTitles.end()
                                          ? remembered->second
                                          : std::string(unrememberedProblemTitle);
            result.messages.push_back(
                message(std::string(fixedIdentifierPrefix) + id, std::string(fixedTitle),
                        "This is resolved: " + title + ".", std::string(fixedTitle),
                        std::string(offMacGenericBody), false));
        }

    std::set<std::string> current;
    for (const Issue& issue : issues)
        current.insert(issue.id());
    std::erase_if(next.alerted, [&](const auto& entry) { return !current.contains(entry.first); });
    std::erase_if(next.alertedTitles,
                  [&](const auto& entry) { return !current.contains(entry.first); });

    if (prefs.dailyDigest) {
        if (due.empty())
            return result;
        if (next.lastDigest && secondsBetween(*next.lastDigest, now) < digestInterval)
            return result;
        std::string body;
        for (std::size_t i = 0; i < due.size() && i < digestMaxTitles; ++i)
            body += (i ? "\n" : "") + due[i].title;
        const std::string title = digestTitle(due.size());
        result.messages.push_back(message(std::string(digestIdentifier), title, body, title,
                                          std::string(offMacGenericBody), false));
        next.lastDigest = now;
        return result;
    }

    for (const Issue& issue : due) {
        const std::string id = issue.id();
        if (const auto announced = next.alerted.find(id); announced != next.alerted.end()) {
            if (prefs.repeatHours < 1)
                continue;
            if (secondsBetween(announced->second, now) < prefs.repeatHours * 3600.0)
                continue;
        }
        result.messages.push_back(message(id, issue.title, alertBody(issue, reasons),
                                          genericAlertTitle(issue), std::string(offMacGenericBody),
                                          issue.level == HealthLevel::red));
        next.alerted[id] = now;
        next.alertedTitles[id] = issue.title;
    }
    return result;
}

std::optional<WeeklySummary> summaryIfDue(const WatchPreferences& prefs,
                                          const HistoryRecord& history,
                                          const std::vector<Issue>& issues,
                                          const std::optional<TimeMachineSettings>& settings,
                                          Date now, bool quiet) {
    if (!prefs.weeklySummaryOn.value_or(false) || quiet)
        return std::nullopt;
    if (history.lastWeekly && !(secondsBetween(*history.lastWeekly, now) >= weeklySummaryInterval))
        return std::nullopt;
    std::optional<Date> lastCompleted;
    if (settings)
        if (const auto last = settings->lastCompleted())
            lastCompleted = last->date;
    return weeklySummary(history.events, issues, lastCompleted, history.restoreTest, now);
}

std::vector<Outgoing> alerts(const std::vector<Issue>& issues,
                             const std::map<std::string, FailureReason>& reasons,
                             const WatchPreferences& prefs,
                             const std::optional<TimeMachineSettings>& settings,
                             HistoryRecord& history, Date now, bool quiet) {
    if (!prefs.alertsOn)
        return {};
    DeliveryPlan delivery = plan(issues, reasons, prefs, alertState(history), now, quiet);
    storeAlertState(history, std::move(delivery.state));
    if (auto summary = summaryIfDue(prefs, history, issues, settings, now, quiet)) {
        delivery.messages.push_back(summaryMessage(summary->title, summary->body));
        history.lastWeekly = now;
    }
    return std::move(delivery.messages);
}

bool quietAt(const WatchPreferences& prefs, Date now, const icu::Calendar* calendar) {
    return calendar ? inQuietHours(now, prefs.quietFrom, prefs.quietTo, *calendar)
                    : inQuietHours(now, prefs.quietFrom, prefs.quietTo);
}

} // namespace

AlertState alertState(const HistoryRecord& history) {
    return AlertState{history.alerted, history.alertedTitles, history.lastDigest};
}

void storeAlertState(HistoryRecord& history, AlertState state) {
    history.alerted = std::move(state.alerted);
    history.alertedTitles = std::move(state.alertedTitles);
    history.lastDigest = state.lastDigest;
}

bool isAlertable(const Issue& issue) {
    return (issue.level == HealthLevel::red && issue.kind != IssueKind::away) ||
           issue.kind == IssueKind::failing;
}

std::vector<Issue> dueIssues(const std::vector<Issue>& issues, const WatchPreferences& prefs,
                             Date now) {
    std::vector<Issue> due;
    for (const Issue& issue : issues) {
        if (!isAlertable(issue))
            continue;
        if (const auto snooze = prefs.snoozedUntil.find(issue.id());
            snooze != prefs.snoozedUntil.end() && !(snooze->second < now))
            continue;
        due.push_back(issue);
    }
    return due;
}

std::string alertBody(const Issue& issue, const std::map<std::string, FailureReason>& reasons) {
    std::string body = issue.detail.value_or("");
    if (issue.destinationID)
        if (const auto reason = reasons.find(*issue.destinationID); reason != reasons.end())
            appendSentence(body, reason->second.title);
    if (issue.check)
        appendSentence(body, *issue.check);
    return body;
}

DeliveryPlan planDelivery(const std::vector<Issue>& issues,
                          const std::map<std::string, FailureReason>& reasons,
                          const WatchPreferences& prefs, const AlertState& state, Date now,
                          const icu::Calendar& calendar) {
    return plan(issues, reasons, prefs, state, now, quietAt(prefs, now, &calendar));
}

DeliveryPlan planDelivery(const std::vector<Issue>& issues,
                          const std::map<std::string, FailureReason>& reasons,
                          const WatchPreferences& prefs, const AlertState& state, Date now) {
    return plan(issues, reasons, prefs, state, now, quietAt(prefs, now, nullptr));
}

Outgoing summaryMessage(std::string_view title, std::string_view body) {
    return message(std::string(weeklyIdentifier), std::string(title), std::string(body),
                   std::string(title),
                   "Your weekly summary is ready. " + std::string(offMacGenericBody), false,
                   NotificationSound::none);
}

std::optional<WeeklySummary> dueWeeklySummary(const WatchPreferences& prefs,
                                              const HistoryRecord& history,
                                              const std::vector<Issue>& issues,
                                              const std::optional<TimeMachineSettings>& settings,
                                              Date now, const icu::Calendar& calendar) {
    return summaryIfDue(prefs, history, issues, settings, now, quietAt(prefs, now, &calendar));
}

std::optional<WeeklySummary> dueWeeklySummary(const WatchPreferences& prefs,
                                              const HistoryRecord& history,
                                              const std::vector<Issue>& issues,
                                              const std::optional<TimeMachineSettings>& settings,
                                              Date now) {
    return summaryIfDue(prefs, history, issues, settings, now, quietAt(prefs, now, nullptr));
}

std::vector<Outgoing> planAlerts(const std::vector<Issue>& issues,
                                 const std::map<std::string, FailureReason>& reasons,
                                 const WatchPreferences& prefs,
                                 const std::optional<TimeMachineSettings>& settings,
                                 HistoryRecord& history, Date now, const icu::Calendar& calendar) {
    return alerts(issues, reasons, prefs, settings, history, now, quietAt(prefs, now, &calendar));
}

std::vector<Outgoing> planAlerts(const std::vector<Issue>& issues,
                                 const std::map<std::string, FailureReason>& reasons,
                                 const WatchPreferences& prefs,
                                 const std::optional<TimeMachineSettings>& settings,
                                 HistoryRecord& history, Date now) {
    return alerts(issues, reasons, prefs, settings, history, now, quietAt(prefs, now, nullptr));
}

} // namespace quorvane
