#pragma once

#include "base/Date.h"
#include "checks/RestoreTestState.h"
#include "health/Issue.h"
#include "history/Gap.h"
#include "history/History.h"
#include "othertools/ToolStatus.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Reassuring or warning text derived from the history and the current issues. Pure functions:
// the file-system facts they need are gathered by the caller.

inline constexpr double weeklySummaryInterval = 604800; // seconds

inline constexpr std::string_view syncIsNotBackupLine =
    "iCloud Drive, iCloud Photos, Dropbox and similar aren't counted as copies: they sync, so a "
    "deletion or a damaged file reaches every device.";

// Home + "/Pictures/Photos Library.photoslibrary".
std::string photosLibraryPath(std::string_view home);

// Periods of more than `minDays` days without a completed backup on one destination, including
// the one still open at `now`. Nothing for a destination that never completed.
std::vector<Gap> gaps(const std::vector<HistoryEvent>& events, std::string_view destinationID,
                      int minDays, Date now);

// "Watching since 3 Dec: 41 backups seen, no gaps in watching. No restore test yet."
std::string trackRecordLine(const std::vector<HistoryEvent>& events, Date watchingSince,
                            const std::vector<Gap>& gaps,
                            const std::optional<RestoreTestState>& restoreTest, Date now);

struct WeeklySummary {
    std::string title;
    std::string body;
    bool operator==(const WeeklySummary&) const = default;
};

WeeklySummary weeklySummary(const std::vector<HistoryEvent>& events,
                            const std::vector<Issue>& issues, std::optional<Date> lastCompleted,
                            const std::optional<RestoreTestState>& restoreTest, Date now);

// What the user should know about the Photos library; none when there is no library.
std::optional<std::string> photosCoverageLine(bool libraryExists, bool excluded);

// The cloud-storage services among the folder names of ~/Library/CloudStorage, each once.
std::vector<std::string> cloudStorageProviders(const std::vector<std::string>& folderNames);

// Backblaze skips cloud-storage folders: an amber issue when it is in use and there are any.
std::optional<Issue> cloudFolderIssue(const std::vector<std::string>& providers,
                                      bool backblazeInUse);

// A red "no completed backup" about Time Machine is less alarming when another tool has backed
// up recently: it becomes amber and names that tool's backup.
std::vector<Issue> softenTimeMachineNotSetUp(std::vector<Issue> issues,
                                             const std::vector<ToolStatus>& tools, int overdueDays,
                                             Date now);

} // namespace quorvane
