#include "timemachine/StatusText.h"

#include <gtest/gtest.h>

#include <unicode/locid.h>
#include <unicode/timezone.h>

#include <chrono>

using namespace quorvane;
using namespace std::chrono;
using Kind = BackupDestination::Kind;

// These tests run with TZ=Europe/Berlin and the en_US locale.

namespace {

// A wall-clock time in Berlin (CET in winter, CEST in summer).
Date berlin(year_month_day day, hours h = hours{0}, minutes m = minutes{0}) {
    auto zone = std::unique_ptr<icu::TimeZone>(icu::TimeZone::createTimeZone("Europe/Berlin"));
    const double local = static_cast<double>(
        duration_cast<seconds>(sys_days{day}.time_since_epoch() + h + m).count());
    int32_t raw = 0;
    int32_t dst = 0;
    UErrorCode status = U_ZERO_ERROR;
    zone->getOffset(local * 1000.0, true, raw, dst, status);
    return dateFromUnix(local - (raw + dst) / 1000.0);
}

TimeMachineSettings withDestinations(std::vector<BackupDestination> destinations) {
    TimeMachineSettings s;
    s.destinations = std::move(destinations);
    return s;
}

BackupDestination named(std::optional<std::string> name, Kind kind) {
    BackupDestination d;
    d.name = std::move(name);
    d.kind = kind;
    return d;
}

} // namespace

TEST(DestinationLabel, NameOrBackupDiskWithNetworkSuffix) {
    EXPECT_EQ(destinationLabel(named("Ann's Backup", Kind::local)), "Ann's Backup");
    EXPECT_EQ(destinationLabel(named(std::nullopt, Kind::network)), "backup disk (network)");
    EXPECT_EQ(destinationLabel(named("nas.local", Kind::network)), "nas.local (network)");
    EXPECT_EQ(destinationLabel(named(std::nullopt, Kind::unknown)), "backup disk");
}

TEST(RelativeDays, CountsCalendarDaysNotElapsedHours) {
    struct Case {
        const char* name;
        Date from, to;
        const char* expected;
    };
    const Case cases[] = {
        {"same day", berlin(2024y / 3 / 5, 8h), berlin(2024y / 3 / 5, 23h, 59min), "today"},
        {"a minute across midnight", berlin(2024y / 3 / 4, 23h, 59min),
         berlin(2024y / 3 / 5, 0h, 1min), "yesterday"},
        {"47 hours over one midnight", berlin(2024y / 3 / 4, 0h, 30min),
         berlin(2024y / 3 / 5, 23h, 30min), "yesterday"},
        {"47 hours over two midnights", berlin(2024y / 3 / 3, 23h), berlin(2024y / 3 / 5, 22h),
         "2 days ago"},
        {"after now", berlin(2024y / 3 / 6, 9h), berlin(2024y / 3 / 5, 9h), "today"},
        {"across the spring change", berlin(2024y / 3 / 30, 12h), berlin(2024y / 4 / 1, 0h, 1min),
         "2 days ago"},
        {"a year", berlin(2023y / 3 / 5, 12h), berlin(2024y / 3 / 5, 12h), "366 days ago"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(relativeDays(c.from, c.to), c.expected);
    }
}

TEST(RelativeDays, UsesTheGivenCalendarsTimeZone) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> tokyo(icu::Calendar::createInstance(
        icu::TimeZone::createTimeZone("Asia/Tokyo"), icu::Locale("en_US"), status));
    ASSERT_TRUE(U_SUCCESS(status));
    // 22:00 and 02:00 UTC fall on one day in Tokyo (07:00 and 11:00); Berlin has a midnight
    // between.
    const Date evening = dateFromUnix(1709676000); // 2024-03-05 22:00 UTC
    const Date night = addSeconds(evening, 4 * 3600);
    EXPECT_EQ(relativeDays(evening, night), "yesterday");
    EXPECT_EQ(relativeDays(evening, night, *tokyo), "today");
}

TEST(ShortDate, ShowsTheTimeThisYearAndTheYearOtherwise) {
    const Date now = berlin(2024y / 3 / 10, 12h);
    EXPECT_EQ(shortDate(berlin(2024y / 3 / 5, 14h, 30min), now), "Mar 5, 14:30");
    EXPECT_EQ(shortDate(berlin(2023y / 12 / 31, 23h, 30min), now), "Dec 31, 2023");
    EXPECT_EQ(dayMonth(berlin(2024y / 1 / 1, 0h, 10min), now), "Jan 1");
    EXPECT_EQ(dayMonth(berlin(2023y / 12 / 31, 23h, 50min), now), "Dec 31, 2023");
}

TEST(ShortDate, FollowsTheLocalesOrder) {
    const icu::Locale saved = icu::Locale::getDefault();
    UErrorCode status = U_ZERO_ERROR;
    icu::Locale::setDefault(icu::Locale("de_DE"), status);
    const Date now = berlin(2024y / 3 / 10, 12h);
    const std::string thisYear = shortDate(berlin(2024y / 3 / 5, 14h, 30min), now);
    const std::string earlier = dayMonth(berlin(2022y / 3 / 5, 14h, 30min), now);
    icu::Locale::setDefault(saved, status);
    EXPECT_EQ(thisYear, "5. März, 14:30");
    EXPECT_EQ(earlier, "5. März 2022");
}

TEST(Headline, OneLinePerReadingCase) {
    const Date now = berlin(2024y / 3 / 10, 12h);
    BackupDestination done = named("Ann's Backup", Kind::local);
    done.completed = {berlin(2024y / 3 / 9, 21h)};
    BackupDestination never = named(std::nullopt, Kind::network);
    never.attempts = {berlin(2024y / 3 / 9, 21h)};

    struct Case {
        const char* name;
        SettingsReading reading;
        StatusLine expected;
    };
    const Case cases[] = {
        {"not set up",
         SettingsReading::notSetUp(),
         {"Time Machine isn't set up on this Mac", std::nullopt}},
        {"unreadable",
         SettingsReading::unreadable(),
         {"Couldn't read Time Machine's settings.",
          "Nothing was changed. Quorvane Ombrel will try again."}},
        {"no disk",
         SettingsReading::read({}),
         {"Time Machine has no backup disk chosen", std::nullopt}},
        {"completed",
         SettingsReading::read(withDestinations({never, done})),
         {"Last completed backup: yesterday", "Mar 9, 21:00 to Ann's Backup"}},
        {"nothing completed",
         SettingsReading::read(withDestinations({never})),
         {"No completed backup recorded.",
          "Time Machine's settings list no finished backup for any disk."}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(headline(c.reading, now), c.expected);
    }
}

TEST(DestinationLines, DetailSaysWhenAndHowManyAttemptsFailed) {
    const Date now = berlin(2024y / 3 / 10, 12h);
    const Date threeDaysAgo = berlin(2024y / 3 / 7, 10h);

    BackupDestination neverDone = named("Disk", Kind::local);
    neverDone.attempts = {berlin(2024y / 3 / 8), berlin(2024y / 3 / 9), berlin(2024y / 3 / 10)};
    BackupDestination failing = named(std::nullopt, Kind::network);
    failing.completed = {threeDaysAgo};
    failing.attempts = {threeDaysAgo, berlin(2024y / 3 / 8), berlin(2024y / 3 / 9)};
    BackupDestination once = named("Once", Kind::local);
    once.completed = {berlin(2024y / 3 / 10, 9h)};
    once.attempts = {berlin(2024y / 3 / 10, 11h)};

    const auto lines = destinationLines(withDestinations({neverDone, failing, once}), now);
    EXPECT_EQ(lines, (std::vector<StatusLine>{
                         {"Disk", "No completed backup recorded."},
                         {"backup disk (network)",
                          "Last completed 3 days ago. 2 attempts since then didn't finish."},
                         {"Once", "Last completed today. 1 attempt since then didn't finish."},
                     }));
}

TEST(SettingsNotes, AutomaticBackupsOffAndLastActivity) {
    const Date now = berlin(2024y / 3 / 10, 12h);
    TimeMachineSettings s;
    EXPECT_TRUE(settingsNotes(s, now).empty());
    s.automaticBackups = true;
    EXPECT_TRUE(settingsNotes(s, now).empty());
    s.automaticBackups = false;
    s.lastActivity = berlin(2024y / 3 / 8, 12h);
    EXPECT_EQ(settingsNotes(s, now),
              (std::vector<std::string>{"Automatic backups are off.",
                                        "Time Machine last did anything 2 days ago."}));
}
