#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "othertools/ToolStatus.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Backblaze's data folder (a Mac path); its absence means Backblaze is not installed.
inline constexpr std::string_view backblazeInstall = "/Library/Backblaze.bzpkg";
// The folder of its status reports.
inline constexpr std::string_view backblazeReports = "/Library/Backblaze.bzpkg/bzdata/bzreports/";

// Backblaze as one status (it backs up the whole Mac as one job), from the small report, pause
// and settings files it keeps; reads files only, each within its size limit and never through a
// symbolic link. Absent when Backblaze is not installed; otherwise exactly one status.
std::optional<std::vector<ToolStatus>> readBackblaze(const Mac& mac, Date now);

// The status from the texts of the last-completed and remaining reports, whether the pause file
// exists, the schedule setting and the pause file's text. Never failed: problems show as
// warnings (paused, manual backups only) or as an old last completed backup.
ToolStatus parseBackblaze(std::optional<std::string_view> lastCompleted,
                          std::optional<std::string_view> remaining, bool paused,
                          std::optional<std::string_view> schedule,
                          std::optional<std::string_view> pauseInfo, Date now);

// What the pause file says, as a fragment shown after "Backblaze: " ("paused until ...",
// "can't reach its servers right now, ..."); absent once the pause is over.
std::optional<std::string> backblazePauseText(std::optional<std::string_view> pauseInfo, Date now);

} // namespace quorvane
