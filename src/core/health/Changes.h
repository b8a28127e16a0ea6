#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "health/ChangeState.h"
#include "health/Issue.h"
#include "timemachine/TimeMachineSettings.h"

#include <unicode/calendar.h>

#include <array>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// A check this long after the previous one means nothing was watched in between (3 hours).
inline constexpr double monitoringGapThreshold = 10800;
// The most monitoring gaps kept; the oldest go first.
inline constexpr std::size_t maxMonitoringGaps = 30;
// How long a destination replacement is remembered and reported (7 days).
inline constexpr double replacementLifetime = 604800;
// The most replacements kept, newest last; a real Mac changes disks far less often.
inline constexpr std::size_t maxReplacements = 30;

// Kinds whose disappearance means "backups are working again".
inline constexpr std::array<IssueKind, 5> recoverableKinds{IssueKind::overdue, IssueKind::failing,
                                                           IssueKind::noCompleted, IssueKind::tool,
                                                           IssueKind::stuck};

// The operating system of the watched Mac.
struct OSVersion {
    std::string version; // "15.1", "15.0", "15.1.1"
    std::string build;   // "24B83"

    bool operator==(const OSVersion&) const = default;
};

// The watched Mac's macOS from "/System/Library/CoreServices/SystemVersion.plist"
// (`ProductVersion`, `ProductBuildVersion`). Without the file (not a Mac) it is the running
// system's name and release, so upgrades of this machine are still noticed. Absent when the
// file is there but cannot be read or is refused: there is no reading this time.
std::optional<OSVersion> currentOS(const Mac& mac);

// "major.minor", with ".patch" when the patch is 1 or more: "15.0", "15.1.1". Text that is not
// a dotted version is returned unchanged.
std::string normalizedOSVersion(std::string_view productVersion);

// Updates the change state once per check: notes a macOS build change, a gap in monitoring
// since the last check, and a destination that was replaced by another; prunes gaps to the 30
// newest and replacements to those of the last week. Absent settings leave the destinations
// and replacements as they were; an absent OS reading leaves the macOS fields as they were.
void recordChanges(ChangeState& state, const std::optional<TimeMachineSettings>& settings,
                   const std::optional<OSVersion>& os, Date now);

// The issues the change state stands for, in this order: no backup since a macOS update, a
// monitoring gap that ended within the last day, and one per recent destination replacement.
std::vector<Issue> changeIssues(const ChangeState& state,
                                const std::optional<TimeMachineSettings>& settings, Date now);

// Identities of announced problems (`alerted`: Issue::id() -> when announced) that are now
// resolved: a recoverable kind that is no longer current, unless its destination is marked
// away. Sorted ascending.
std::vector<std::string> resolvedAlerts(const std::map<std::string, Date>& alerted,
                                        const std::vector<Issue>& current);

// Whether `now` lies in the quiet hours from `from` up to (not including) `to`, which may cross
// midnight. Off when either hour is absent or both are equal.
bool inQuietHours(Date now, std::optional<int> from, std::optional<int> to,
                  const icu::Calendar& calendar);
// The same in the user's calendar.
bool inQuietHours(Date now, std::optional<int> from, std::optional<int> to);

} // namespace quorvane
