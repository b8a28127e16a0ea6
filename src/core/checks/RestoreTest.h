#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "checks/RestoreTestState.h"
#include "timemachine/TimeMachineSettings.h"

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace quorvane {

// The guided restore test: one small file in the user's home folder that Time Machine backs
// up, which we then change and the user restores. We never restore anything ourselves and only
// ever write inside our own test folder, never through a symbolic link.

inline constexpr std::string_view restoreTestFolderName = "Quorvane Ombrel Restore Test";
inline constexpr std::string_view restoreTestFileName = "Restore test.txt";
inline constexpr std::size_t restoreTestMaxBytes = 1'000'000;

inline constexpr std::array<std::string_view, 5> restoreTestSteps{
    "Click Show Test Folder, so the folder is open in Finder.",
    "Click Open Time Machine.",
    "Go back to a backup from before the file was changed.",
    "Select \"Restore test.txt\" and click Restore. Choose Replace or Keep Both.",
    "Come back here and click Check Restore.",
};

// Makes the test folder in the Mac's home folder and writes a fresh test file. The new state
// keeps `previous`'s results. Absent, with `error` set, when the folder or file cannot be
// written (also when the folder's place holds a link or a file).
std::optional<RestoreTestState> startRestoreTest(const Mac& mac,
                                                 const std::optional<RestoreTestState>& previous,
                                                 Date now, std::error_code& error);

// True when the state points at our own test file in `home` (a Mac path); the update operations
// do nothing otherwise, so an edited history file cannot make us write elsewhere.
bool restoreTestPathIsOurs(const RestoreTestState& state, std::string_view home);

// True when the test folder lies in a folder Time Machine excludes, so the test cannot work.
bool restoreTestExcluded(const RestoreTestState& state, const TimeMachineSettings& settings,
                         std::string_view home);

// Once a destination has completed a backup more than 30 seconds after the test started, changes
// the test file so that the user must restore it. Run on every check.
void advanceRestoreTest(RestoreTestState& state, const TimeMachineSettings& settings, Date now,
                        const Mac& mac);

// Looks for a file with the original contents in the test folder; true once the test passed.
// `destination` names where the latest backup was, for the result.
bool checkRestoreTest(RestoreTestState& state, const std::optional<std::string>& destination,
                      Date now, const Mac& mac);

// One sentence about where the test stands.
std::string restoreTestLine(const std::optional<RestoreTestState>& state, Date now);

// True when no test has passed yet, or the last pass is more than `days` days old.
bool restoreTestDue(const std::optional<RestoreTestState>& state, Date now, int days);

// SHA-256 of `bytes` as 64 lower-case hexadecimal digits.
std::string sha256Hex(std::string_view bytes);

} // namespace quorvane
