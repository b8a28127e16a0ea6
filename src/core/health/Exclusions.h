#pragma once

#include "health/Issue.h"
#include "timemachine/TimeMachineSettings.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// The user's own everyday folders, in the order they are listed (Downloads is not one of them).
inline constexpr std::array<std::string_view, 5> ownFolderNames{"Desktop", "Documents", "Pictures",
                                                                "Movies", "Music"};
// `excludedOwnFolders` answers the one-element list holding this when a whole home folder is
// excluded.
inline constexpr std::string_view wholeHomeFolder = "home folder";

// At most one issue about the settings reading itself: not checked yet (no reading), Time
// Machine not set up, no backup disk chosen, or settings that could not be read. None for
// settings naming at least one destination.
std::vector<Issue> readingIssues(const std::optional<SettingsReading>& reading);

// One amber issue per path of `excludedNow` that `before` (the list seen at the previous check)
// does not hold, identified by "excl:" + the path. Nothing without an earlier list to compare
// with, and nothing for exclusions that were removed.
std::vector<Issue> exclusionIssues(const std::vector<std::string>& excludedNow,
                                   const std::optional<std::vector<std::string>>& before);

// The own folders of any user's home ("/Users/<name>/<folder>") among `paths`, in the fixed
// order, each once; the whole-home marker alone when a home folder itself is excluded. Deeper
// paths, "/Users/Shared" and paths outside "/Users" count for nothing.
std::vector<std::string> excludedOwnFolders(const std::vector<std::string>& paths);

// "your Documents folder", "your Desktop, Documents and Music folders", "your whole home
// folder"; absent for no folders.
std::optional<std::string> ownFoldersPhrase(const std::vector<std::string>& folders);

// The amber issue for excluded own folders, identified by "own:" + the folder names joined by
// ","; absent when none are excluded.
std::optional<Issue> ownFoldersExcludedIssue(const std::vector<std::string>& paths);

// What to do before a macOS upgrade: empty without a network destination, otherwise a first
// line, one line per network destination (AFP ones are told to move first), and a last line.
std::vector<std::string> preUpgradeChecklist(const TimeMachineSettings& settings);

} // namespace quorvane
