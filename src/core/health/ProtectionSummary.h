#pragma once

#include "othertools/ToolStatus.h"
#include "timemachine/TimeMachineSettings.h"

#include <optional>
#include <string>
#include <vector>

namespace quorvane {

// The user's backups measured against the 3-2-1 rule (three copies, two kinds of storage, one
// away from home), counting only backups that have completed at least once.
struct ProtectionSummary {
    int copies = 1;                 // this Mac plus one per counted backup
    std::vector<std::string> kinds; // distinct kinds of storage, sorted ascending
    std::optional<bool> offSite;    // true with a counted cloud backup; never false (unseen copies)
    std::vector<std::string> lines; // the five lines the settings window shows

    bool operator==(const ProtectionSummary&) const = default;
};

// Where another tool keeps its copy.
enum class StoragePlace { local, network, cloud, unknown };

// The place a lower-case destination kind word names ("sftp" is network, "wasabi" cloud);
// unknown for any other word, other letter case included, and for no word.
StoragePlace arqPlace(const std::optional<std::string>& destinationKind);

// The summary for Time Machine's settings (absent when unreadable) and the other tools' statuses.
ProtectionSummary protectionSummary(const std::optional<TimeMachineSettings>& settings,
                                    const std::vector<ToolStatus>& tools);

} // namespace quorvane
