#pragma once

#include "base/Date.h"

#include <cstdint>
#include <optional>

namespace quorvane {

// Whole days of 86400 seconds in an interval, truncated toward zero (-1.5 days gives -1);
// 0 when the interval is not finite or its magnitude is 10^12 seconds or more.
std::int64_t days(double seconds);

// Dates before 1 January 1990 or later than one day after `now` cannot be real backup dates
// (clock errors, corrupt files); they come back absent. A date exactly one day ahead is kept.
std::optional<Date> plausibleDate(std::optional<Date> date, Date now);

// 1990-01-01T00:00:00Z in seconds since 1970.
inline constexpr double earliestPlausibleSeconds = 631152000.0;

} // namespace quorvane
