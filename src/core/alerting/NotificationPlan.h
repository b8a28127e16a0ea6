#pragma once

#include "alerting/OffMacMessage.h"
#include "base/Date.h"
#include "health/Issue.h"
#include "health/Preferences.h"
#include "history/History.h"
#include "history/Reassurance.h"
#include "timemachine/Reasons.h"
#include "timemachine/TimeMachineSettings.h"

#include <unicode/calendar.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Identifiers and texts of the notifications that are not about one issue.
inline constexpr std::string_view fixedIdentifierPrefix = "fixed-";
inline constexpr std::string_view digestIdentifier = "digest";
inline constexpr std::string_view weeklyIdentifier = "weekly";
inline constexpr std::string_view fixedTitle = "Backups are working again";
inline constexpr std::string_view unrememberedProblemTitle = "a backup problem";
// A digest goes out at most once in this many seconds (20 hours).
inline constexpr double digestInterval = 72000;
// The most issue titles a digest lists.
inline constexpr std::size_t digestMaxTitles = 4;

enum class NotificationSound { standard, none };

// One desktop notification; a later one with the same identifier replaces it.
struct LocalNotification {
    std::string identifier;
    std::string title;
    std::string body;
    NotificationSound sound = NotificationSound::standard;

    bool operator==(const LocalNotification&) const = default;
};

// One message: handed to the forwarding handler (when one is set) before it is posted here.
struct Outgoing {
    OffMacMessage forward;
    LocalNotification notification;

    bool operator==(const Outgoing&) const = default;
};

// What the history remembers about announcements.
struct AlertState {
    std::map<std::string, Date> alerted;              // Issue::id() -> last announced
    std::map<std::string, std::string> alertedTitles; // Issue::id() -> title announced
    std::optional<Date> lastDigest;

    bool operator==(const AlertState&) const = default;
};

AlertState alertState(const HistoryRecord& history);
void storeAlertState(HistoryRecord& history, AlertState state);

// What one delivery decided: the messages in the order they go out, and the alert state after.
struct DeliveryPlan {
    std::vector<Outgoing> messages;
    AlertState state;

    bool operator==(const DeliveryPlan&) const = default;
};

// Whether the issue is ever announced on its own: red issues other than `away`, and every
// `failing` issue whatever its level.
bool isAlertable(const Issue& issue);

// The alertable issues, in order, that are not snoozed at `now` (a snooze lasts up to and
// including its end).
std::vector<Issue> dueIssues(const std::vector<Issue>& issues, const WatchPreferences& prefs,
                             Date now);

// The body of an issue's notification: its detail, its destination's reason title and its check
// text, those present, joined by single spaces.
std::string alertBody(const Issue& issue, const std::map<std::string, FailureReason>& reasons);

// The decisions of one delivery after a check, for the check's ordered `issues` and the
// destinations' `reasons`: inside quiet hours nothing at all (the state is returned unchanged);
// otherwise resolved notices (when `notifyWhenFixed`), then forgetting announcements of issues
// that are gone, then either one daily digest or the due issues not announced within
// `repeatHours`. `calendar` decides the quiet hours; the overload without it uses the user's.
DeliveryPlan planDelivery(const std::vector<Issue>& issues,
                          const std::map<std::string, FailureReason>& reasons,
                          const WatchPreferences& prefs, const AlertState& state, Date now,
                          const icu::Calendar& calendar);
DeliveryPlan planDelivery(const std::vector<Issue>& issues,
                          const std::map<std::string, FailureReason>& reasons,
                          const WatchPreferences& prefs, const AlertState& state, Date now);

// The weekly summary's message: the "weekly" notification without sound, forwarded with the
// same title and a generic body that says the summary is ready.
Outgoing summaryMessage(std::string_view title, std::string_view body);

// The weekly summary when it is due: switched on, outside quiet hours, and at least a week
// after the last one (never sent counts as long ago).
std::optional<WeeklySummary> dueWeeklySummary(const WatchPreferences& prefs,
                                              const HistoryRecord& history,
                                              const std::vector<Issue>& issues,
                                              const std::optional<TimeMachineSettings>& settings,
                                              Date now, const icu::Calendar& calendar);
std::optional<WeeklySummary> dueWeeklySummary(const WatchPreferences& prefs,
                                              const HistoryRecord& history,
                                              const std::vector<Issue>& issues,
                                              const std::optional<TimeMachineSettings>& settings,
                                              Date now);

// The whole alerting step after a check with alerts on: the delivery, then the weekly summary
// when due. Returns the messages in order and updates the history's alert state and
// `lastWeekly`. Nothing is decided (and nothing changes) when `prefs.alertsOn` is false.
std::vector<Outgoing> planAlerts(const std::vector<Issue>& issues,
                                 const std::map<std::string, FailureReason>& reasons,
                                 const WatchPreferences& prefs,
                                 const std::optional<TimeMachineSettings>& settings,
                                 HistoryRecord& history, Date now, const icu::Calendar& calendar);
std::vector<Outgoing> planAlerts(const std::vector<Issue>& issues,
                                 const std::map<std::string, FailureReason>& reasons,
                                 const WatchPreferences& prefs,
                                 const std::optional<TimeMachineSettings>& settings,
                                 HistoryRecord& history, Date now);

} // namespace quorvane
