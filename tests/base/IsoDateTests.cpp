#include "base/IsoDate.h"

#include <gtest/gtest.h>

#include <limits>

using namespace quorvane;

TEST(IsoDate, WritesUtcToTheWholeSecond) {
    EXPECT_EQ(isoDateText(dateFromUnix(0)), "1970-01-01T00:00:00Z");
    EXPECT_EQ(isoDateText(dateFromUnix(1785046282.999)), "2026-07-26T06:11:22Z");
    EXPECT_EQ(isoDateText(dateFromUnix(-0.5)), "1969-12-31T23:59:59Z");
    EXPECT_EQ(isoDateText(dateFromUnix(951782400)), "2000-02-29T00:00:00Z");
}

TEST(IsoDate, WritesImpossibleDatesWithinTheFormat) {
    EXPECT_EQ(isoDateText(dateFromUnix(std::numeric_limits<double>::quiet_NaN())),
              "1970-01-01T00:00:00Z");
    EXPECT_EQ(isoDateText(dateFromUnix(std::numeric_limits<double>::infinity())),
              "9999-12-31T23:59:59Z");
    EXPECT_EQ(isoDateText(dateFromUnix(-1e300)), "0001-01-01T00:00:00Z");
}

TEST(IsoDate, ReadsZuluOffsetsAndFractions) {
    const double expected = 1785046282;
    const struct {
        const char* text;
        double seconds;
    } cases[] = {
        {"2026-07-26T06:11:22Z", expected},         {"2026-07-26T08:11:22+02:00", expected},
        {"2026-07-26T08:11:22+0200", expected},     {"2026-07-25T20:11:22-10:00", expected},
        {"2026-07-26T06:11:22.5Z", expected + 0.5},
    };
    for (const auto& c : cases) {
        const auto date = parseIsoDate(c.text);
        ASSERT_TRUE(date) << c.text;
        EXPECT_DOUBLE_EQ(unixSeconds(*date), c.seconds) << c.text;
    }
}

TEST(IsoDate, RefusesMalformedText) {
    for (const char* text :
         {"", "2026-07-26", "2026-07-26T06:11:22", "2026-07-26 06:11:22Z", "2026-02-30T00:00:00Z",
          "2026-07-26T24:00:00Z", "2026-07-26T06:11:22Zjunk", "2026-07-26T06:11:22.Z",
          "2026-07-26T06:11:22+2", "2026-13-01T00:00:00Z", "２026-07-26T06:11:22Z"})
        EXPECT_FALSE(parseIsoDate(text)) << text;
}

TEST(IsoDate, RoundTrips) {
    for (double seconds : {0.0, 1785046282.0, -86400.0 * 365 * 100, 253402300799.0}) {
        const auto text = isoDateText(dateFromUnix(seconds));
        EXPECT_EQ(parseIsoDate(text), dateFromUnix(seconds)) << text;
    }
}
