#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "health/Issue.h"
#include "othertools/ToolStatus.h"
#include "timemachine/DestinationInfo.h"
#include "timemachine/TimeMachineSettings.h"

#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// Everything one status printout reads, gathered once before any wording.
struct PrintoutReadings {
    SettingsReading reading = SettingsReading::notSetUp(); // display names already merged
    Date now{};
    std::vector<ToolStatus> tools;     // the other backup applications
    std::optional<BackupRunState> run; // Time Machine's run state, read only with settings
    std::string home;                  // the user's home folder on the watched Mac
};

// Reads the watched Mac in the printout's order: settings, then display names from `tmutil`
// (only when the settings were read), then the time `now` (`clock` when given, for repeatable
// output), then the other tools, then the run state (only when the settings were read).
PrintoutReadings readPrintout(const Mac& mac, std::optional<Date> clock = std::nullopt);

// The time `QUORVANE_NOW` fixes for the printout (seconds since 1970 or an ISO 8601 date), so
// that tests and demonstrations get the same text every run; absent when unset or unreadable.
std::optional<Date> fixedClock(const char* value);

// The printout's lines from its readings, in order; some may be empty (they are dropped later).
std::vector<std::string> printoutLines(const PrintoutReadings& readings);

// "[level] title", followed by " — detail" when the issue has one.
std::string issueLine(const Issue& issue);

// The lines without the empty ones, each ended by a line feed. Line breaks, other control
// characters and the bidirectional controls inside a line (a disk name from the Mac's files may
// hold any) become spaces, so every line of the result is exactly one line of the printout and
// shows its text in the order it was written.
std::string printoutText(const std::vector<std::string>& lines);

// The path with an initial "~" or "~user" expanded and "//", "." and ".." removed (".." climbs
// lexically; a relative path stays relative). `home` is this machine's home folder for "~".
std::string standardisedPath(std::string_view path, std::string_view home);

// Whether a standardised path lies inside `temporaryFolder` (standardised, ending in "/"),
// "/tmp/" or "/private/tmp/".
bool insideTemporaryFolder(std::string_view standardised, std::string_view temporaryFolder);

// The refusal for an output path outside the temporary folders.
inline constexpr std::string_view outsideTemporaryFolderMessage =
    "--print-status writes only inside a temporary folder.\n";

// The status printout: reads `mac` and writes the text to `out`, or to `outputPath` when given.
// The path is taken only inside the temporary folders, judged on its standardised form; otherwise
// the refusal goes to `err`. Its folder is opened before the Mac is read, each folder below the
// temporary folder without following links, and the file is made in that folder: a folder
// swapped for a link meanwhile does not carry it elsewhere. The file is replaced, never written
// through a link; a file that cannot be made (its folder missing, a link or unreadable) is not
// reported.
void runPrintStatus(const Mac& mac, const std::optional<std::string>& outputPath, std::ostream& out,
                    std::ostream& err);

} // namespace quorvane
