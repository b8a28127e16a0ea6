#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "checks/Reachability.h"
#include "health/Changes.h"
#include "history/History.h"
#include "othertools/ToolStatus.h"
#include "timemachine/DestinationInfo.h"
#include "timemachine/TimeMachineLog.h"
#include "timemachine/TimeMachineSettings.h"

#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorvane {

// The log is never read further back than this (36 hours).
inline constexpr double logLookBack = 129600;
// Seconds each `tmutil` call of a check may take.
inline constexpr double checkToolTimeout = 5.0;

// Everything one check reads off the watched Mac, gathered in one go on a background thread so
// that folding it in touches no file but the restore test's.
struct CheckReading {
    SettingsReading reading = SettingsReading::notSetUp(); // display names already merged
    std::optional<BackupRunState> run;                     // absent when `tmutil status` failed
    std::optional<LogReading> log;                         // absent when the log was not read
    std::vector<ToolStatus> tools;                         // the other backup applications
    std::set<std::string> unreachable;                     // network hosts that did not answer
    std::optional<OSVersion>
        os; // the watched Mac's macOS; none when its version file is unreadable
    std::vector<std::string> cloudStorageNames; // entries of ~/Library/CloudStorage, sorted
    // When the reading began (before the log was read): the next check reads the log from here,
    // so nothing logged while this check was still reading is skipped. Absent: the fold's `now`.
    std::optional<Date> readAt;

    bool operator==(const CheckReading&) const = default;
};

// Where a check starts reading the log: the later of where the previous one stopped and 36
// hours before `now`.
Date logWindowStart(const std::optional<Date>& logReadUpTo, Date now);

// Reads the watched Mac for one check, in this order: Time Machine's settings (with display
// names from `tmutil destinationinfo` when they were read), the run state, the log since
// `logSince`, the other tools, the network hosts (probed only when `nasCheckOn` and the settings
// were read), the macOS version and the cloud-storage folder names; `readAt` is `now`. Blocks
// for as long as the tools and probes take; never throws.
CheckReading readCheck(const Mac& mac, Date logSince, bool nasCheckOn, Date now,
                       const ReachabilityProbe& probe = isReachable);

// The names of the entries of `folder` (a Mac path), sorted; empty when it is not a real folder
// or cannot be listed.
std::vector<std::string> folderEntryNames(const Mac& mac, const std::string& folder);

} // namespace quorvane
