#include "health/Days.h"

#include <gtest/gtest.h>

#include <limits>

namespace quorvane {
namespace {

TEST(Days, WholeDaysTruncatedTowardZero) {
    const double inf = std::numeric_limits<double>::infinity();
    const std::vector<std::pair<double, std::int64_t>> cases{
        {0, 0},
        {86399.9, 0},
        {86400, 1},
        {-1.5 * 86400, -1},
        {-86399, 0},
        {10 * 86400 + 5, 10},
        {1e12 - 1, 11574074},
        {1e12, 0},
        {-1e12, 0},
        {inf, 0},
        {-inf, 0},
        {std::numeric_limits<double>::quiet_NaN(), 0},
    };
    for (const auto& [seconds, expected] : cases)
        EXPECT_EQ(days(seconds), expected) << seconds;
}

TEST(PlausibleDate, From1990UpToOneDayAhead) {
    const Date now = dateFromUnix(1740837909); // 2025-03-01T14:05:09Z
    const auto same = [&](double seconds) -> std::optional<Date> { return dateFromUnix(seconds); };
    const std::vector<std::pair<std::optional<Date>, std::optional<Date>>> cases{
        {std::nullopt, std::nullopt},
        {dateFromUnix(631152000.0), same(631152000.0)}, // 1990-01-01 00:00 UTC
        {dateFromUnix(631152000.0 - 1), std::nullopt},  // 31 December 1989
        {dateFromUnix(631152000.0 - 86400), std::nullopt},
        {now, now},
        {addSeconds(now, 86400), addSeconds(now, 86400)}, // exactly one day ahead
        {addSeconds(now, 86400.5), std::nullopt},
        {addSeconds(now, 2 * 86400), std::nullopt},
        {dateFromUnix(0), std::nullopt},
        {dateFromUnix(std::numeric_limits<double>::quiet_NaN()), std::nullopt},
        {dateFromUnix(std::numeric_limits<double>::infinity()), std::nullopt},
    };
    for (std::size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(plausibleDate(cases[i].first, now), cases[i].second) << "case " << i;
}

} // namespace
} // namespace quorvane
