#include "health/Days.h"

#include <cmath>

namespace quorvane {

std::int64_t days(double seconds) {
    if (!std::isfinite(seconds) || std::fabs(seconds) >= 1e12)
        return 0;
    return static_cast<std::int64_t>(std::trunc(seconds / 86400.0));
}

std::optional<Date> plausibleDate(std::optional<Date> date, Date now) {
    if (!date)
        return std::nullopt;
    double seconds = unixSeconds(*date);
    if (!std::isfinite(seconds) || seconds < earliestPlausibleSeconds)
        return std::nullopt;
    if (*date > addSeconds(now, 86400.0))
        return std::nullopt;
    return date;
}

} // namespace quorvane
