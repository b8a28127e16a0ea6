#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "cycle/CheckReading.h"
#include "health/Issue.h"
#include "health/Preferences.h"
#include "history/History.h"
#include "timemachine/Reasons.h"

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvane {

// How long a newly excluded path keeps being reported (7 days).
inline constexpr double newExclusionWindow = 604800;

// The amber issue shown while alerts are on but the desktop refuses notifications.
inline constexpr std::string_view notificationsBlockedTitle =
    "Alerts are turned off in System Settings";
inline constexpr std::string_view notificationsBlockedDetail =
    "Quorvane Ombrel can't alert you until they're allowed.";
inline constexpr std::string_view notificationsBlockedCheck =
    "Open System Settings, Notifications, Quorvane Ombrel, and allow notifications.";
Issue notificationsBlockedIssue();

// What a check leaves behind once its reading is folded in.
struct CheckOutcome {
    HistoryRecord history;     // the history to publish and save
    std::vector<Issue> issues; // ordered, softened, with the cloud-folder issue last
    // Destination ID -> why its backups fail. Absent when the settings were not read: the
    // previously published reasons stay as they were.
    std::optional<std::map<std::string, FailureReason>> reasons;
    // Whether the log could be read; absent when this check learnt nothing about it (the log
    // read failed or did not happen), so the published value stays as it was.
    std::optional<bool> logAllowed;

    bool operator==(const CheckOutcome&) const = default;
};

// The failure reasons the log's lines give, in log order (lines that give none are skipped).
std::vector<FailureReason> logReasons(const std::optional<LogReading>& log);

// Which reason explains each destination's failures: destinations that completed and have not
// failed since get none; the others take the latest log reason that suits them (not a failed
// notification; the NAS reasons only for network destinations), else their result code's.
std::map<std::string, FailureReason> destinationReasons(const TimeMachineSettings& settings,
                                                        const std::vector<FailureReason>& reasons);

// Folds one check's reading into the history and the issues. Pure but for the restore test,
// which it advances on `mac` (the only file it may touch is that test's own). `history` is the
// history as it stands when the reading arrives, so a check that finishes after another builds
// on that one's result.
CheckOutcome applyCheck(const CheckReading& reading, const WatchPreferences& prefs,
                        HistoryRecord history, bool notificationsBlocked, const Mac& mac, Date now);

} // namespace quorvane
