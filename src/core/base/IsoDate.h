#pragma once

#include "base/Date.h"

#include <optional>
#include <string>
#include <string_view>

namespace quorvane {

// The persisted form of a date: ISO 8601 in UTC to the whole second, "2026-07-26T06:11:22Z".
// Fractions of a second are dropped (rounded down). Dates outside the years 0001 to 9999 are
// written as the nearest of those years' ends; a non-finite date is written as 1970-01-01.
std::string isoDateText(Date date);

// Reads "yyyy-MM-ddTHH:mm:ss" followed by "Z" or a numeric offset ("+02:00", "+0200"), with an
// optional fraction of a second. Absent for anything else, including out-of-range fields.
std::optional<Date> parseIsoDate(std::string_view text);

} // namespace quorvane
