#pragma once

#include "base/Date.h"
#include "history/Gap.h"

#include <nlohmann/json_fwd.hpp>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvane {

// One Time Machine destination that disappeared while another appeared in its place.
struct Replacement {
    Date date{};         // when the replacement was noticed
    std::string oldName; // display name of the destination that disappeared
    std::string newName; // display name of the new one
    std::string newID;   // identifier of the new one

    bool operator==(const Replacement&) const = default;
};

// Changes noticed between checks, kept inside the history record.
struct ChangeState {
    std::optional<std::string> osBuild;       // macOS build seen at the last check
    std::optional<std::string> osVersion;     // macOS version seen at the last check
    std::optional<Date> osChangedAt;          // when a different build was first seen
    std::optional<std::string> osChangedFrom; // version (or build) before that change
    std::optional<Date> lastCheck;
    std::vector<Gap> gaps;                           // periods without monitoring, oldest first
    std::map<std::string, std::string> destinations; // identifier -> display name at last check
    std::vector<Replacement> replacements;           // of the last week, oldest first

    bool operator==(const ChangeState&) const = default;
};

// JSON forms: keys are the field names; all four Replacement keys and ChangeState's `gaps`,
// `destinations` and `replacements` are required; absent optionals are not written.
void to_json(nlohmann::json& j, const Replacement& value);
void from_json(const nlohmann::json& j, Replacement& value);
void to_json(nlohmann::json& j, const ChangeState& value);
void from_json(const nlohmann::json& j, ChangeState& value);

} // namespace quorvane
