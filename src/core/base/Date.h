#pragma once

#include <chrono>
#include <cmath>

namespace quorvane {

// A point in time with sub-second precision: seconds since 1970-01-01 UTC held as a double.
using Seconds = std::chrono::duration<double>;
using Date = std::chrono::sys_time<Seconds>;

// Seconds between 1970-01-01 and 2001-01-01, the epoch of property-list dates.
inline constexpr double referenceDateOffset = 978307200.0;

inline constexpr Date dateFromUnix(double seconds) {
    return Date{Seconds{seconds}};
}
inline constexpr double unixSeconds(Date d) {
    return d.time_since_epoch().count();
}

// Seconds from `from` to `to` (negative when `to` is earlier).
inline constexpr double secondsBetween(Date from, Date to) {
    return (to - from).count();
}

inline constexpr Date addSeconds(Date d, double seconds) {
    return d + Seconds{seconds};
}

// The current time; only the application and the command-line entry call this.
inline Date currentDate() {
    return std::chrono::time_point_cast<Seconds>(std::chrono::system_clock::now());
}

} // namespace quorvane
