#pragma once

#include "base/Mac.h"
#include "timemachine/TimeMachineSettings.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Time Machine's command-line tool on the watched Mac.
inline constexpr std::string_view tmutilPath = "/usr/bin/tmutil";

// One destination as `tmutil destinationinfo` reports it.
struct DestinationInfo {
    std::string id;
    std::optional<std::string> name; // display name
    std::optional<std::string> kind; // the tool's word; "Network" or anything else (a local disk)

    bool operator==(const DestinationInfo&) const = default;
};

// Time Machine's run state as `tmutil status` reports it.
struct BackupRunState {
    bool running = false;
    std::optional<std::string> phase; // the tool's phase word, verbatim
    std::optional<double> percent;    // as reported; never negative (absent instead)
    std::optional<std::string> destinationID;

    bool operator==(const BackupRunState&) const = default;
};

// `tmutil destinationinfo -X` through the trusted runner; empty on any failure (refused, slow,
// non-zero exit, output that is not the expected property list).
std::vector<DestinationInfo> readDestinationInfo(const Mac& mac, double timeout);

// The "Destinations" of the tool's property list; entries without a string "ID" are skipped.
// Empty when the bytes are not such a property list (for example the text the tool prints when no
// destination is configured).
std::vector<DestinationInfo> parseDestinationInfo(std::string_view bytes);

// The settings with display names and kinds completed from `infos` (matched by id, the first info
// of an id wins): a missing or UUID-like name takes the info's name (or stays absent), and an
// unknown kind becomes network for the word "Network" and local for any other word.
TimeMachineSettings withDisplayNames(TimeMachineSettings settings,
                                     const std::vector<DestinationInfo>& infos);

// `tmutil status -X` through the trusted runner; absent on any failure.
std::optional<BackupRunState> readRunState(const Mac& mac, double timeout);

// The run state of the tool's property list; absent unless it is a dictionary.
std::optional<BackupRunState> parseRunState(std::string_view bytes);

// The settings reader followed by destination info (5-second time-out) and `withDisplayNames`.
SettingsReading readStatus(const Mac& mac);

} // namespace quorvane
