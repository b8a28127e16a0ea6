#pragma once

#include "base/Date.h"
#include "checks/RestoreTestState.h"
#include "othertools/ToolStatus.h"
#include "timemachine/TimeMachineSettings.h"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// The answer to "if this Mac died now, what could I get back?".
struct RecoveryAnswer {
    std::string headline;
    std::optional<std::string> otherCopies; // the other places a copy exists
    std::optional<std::string> notIncluded; // what Time Machine's backup leaves out
    std::optional<std::string> restoreTest; // when a restore was last tested
    bool nothingToRestore = false;          // no completed backup anywhere

    bool operator==(const RecoveryAnswer&) const = default;
};

// Combines the newest completed backup of every Time Machine destination and every readable
// tool status. `home` is the user's home folder (a Mac path), where "~" in exclusions points.
RecoveryAnswer recoveryAnswer(const std::optional<TimeMachineSettings>& settings,
                              const std::vector<ToolStatus>& tools,
                              const std::optional<RestoreTestState>& restoreTest, Date now,
                              std::string_view home);

// "less than an hour ago", "1 hour ago", "5 hours ago", "yesterday", "3 days ago"; empty for a
// date that is not finite.
std::string agoText(Date date, Date now);

} // namespace quorvane
