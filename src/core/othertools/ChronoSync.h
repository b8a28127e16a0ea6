#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "othertools/ToolStatus.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// One ChronoSync document (a synchronisation task) as its documents archive records it.
struct ChronoSyncTask {
    std::string name;
    std::optional<Date> lastSync;
    std::optional<std::string> summary;     // ChronoSync's one-line summary of the last run
    std::optional<std::string> destination; // its description of the target
    bool operator==(const ChronoSyncTask&) const = default;
};

inline constexpr std::size_t chronoSyncReadLimit = 5'000'000;
inline constexpr std::string_view chronoSyncApplication = "/Applications/ChronoSync.app";

// Home + "/Library/Application Support/ChronoSync/Documents.data".
std::string chronoSyncDocuments(const Mac& mac);

// Absent when neither the archive nor the application exists; otherwise at least one status.
std::optional<std::vector<ToolStatus>> readChronoSync(const Mac& mac, std::string_view path,
                                                      Date now);

// The tasks of a documents archive (a keyed archive whose root is an array of "DocumentRef"
// objects); absent when the bytes are not such an archive or hold a class outside the allowed list.
std::optional<std::vector<ChronoSyncTask>> parseChronoSyncDocuments(std::string_view bytes);

// One status per task, or one no-backups status when there are none. `exists` tells whether a
// folder exists; a task whose every destination candidate is missing gets a warning.
std::vector<ToolStatus> chronoSyncStatuses(
    const std::vector<ChronoSyncTask>& tasks, Date now,
    const std::function<bool(const std::string&)>& exists = [](const std::string&) {
        return true;
    });

// The number after "Errors:" in a run summary.
std::optional<std::int64_t> chronoSyncErrorCount(const std::optional<std::string>& summary);
// The label of a target description: for "PATH" on "VOLUME", the last component of PATH, or
// VOLUME when PATH is empty; otherwise the last path component of the first quoted piece.
std::optional<std::string>
chronoSyncDestinationLabel(const std::optional<std::string>& description);
// The folders a target described as "PATH" on "VOLUME" may be: "/PATH" and "/Volumes/VOLUME/PATH".
std::optional<std::vector<std::string>>
chronoSyncDestinationCandidates(const std::optional<std::string>& description);

} // namespace quorvane
