#pragma once

#include "base/Date.h"

#include <nlohmann/json_fwd.hpp>

namespace quorvane {

// A period: without a completed backup, or without monitoring (kept in the change state).
struct Gap {
    Date from{};
    Date to{};

    bool operator==(const Gap&) const = default;
};

// JSON form {"from": date, "to": date}; both keys required.
void to_json(nlohmann::json& j, const Gap& value);
void from_json(const nlohmann::json& j, Gap& value);

} // namespace quorvane
