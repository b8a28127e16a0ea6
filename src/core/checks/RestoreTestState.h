#pragma once

#include "base/Date.h"

#include <nlohmann/json_fwd.hpp>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

// One past outcome of the restore test.
struct RestoreTestResult {
    Date date{};
    bool passed = false;
    std::optional<std::string> destination; // label of the destination that held the backup

    bool operator==(const RestoreTestResult&) const = default;
};

// The guided restore test, kept inside the history record.
struct RestoreTestState {
    enum class Phase { waitingForBackup, readyToRestore, passed, failed };

    Phase phase = Phase::waitingForBackup;
    Date started{};
    std::string folder;
    std::string fileName;
    std::string originalHash; // SHA-256 of the original contents, lower-case hex
    std::optional<Date> changedAt;
    std::optional<Date> finishedAt;
    std::optional<std::string> note;
    std::vector<RestoreTestResult> results; // oldest first

    bool operator==(const RestoreTestState&) const = default;
};

// "waitingForBackup", "readyToRestore", "passed", "failed".
std::string_view toText(RestoreTestState::Phase phase);
std::optional<RestoreTestState::Phase> restoreTestPhaseFromText(std::string_view text);

// JSON forms: keys are the field names; "changedAt", "finishedAt", "note" and a result's
// "destination" may be missing; an unknown phase text fails to decode.
void to_json(nlohmann::json& j, const RestoreTestResult& value);
void from_json(const nlohmann::json& j, RestoreTestResult& value);
void to_json(nlohmann::json& j, const RestoreTestState& value);
void from_json(const nlohmann::json& j, RestoreTestState& value);

} // namespace quorvane
