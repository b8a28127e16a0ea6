#include "othertools/Backblaze.h"

#include "support/TempMac.h"
#include "timemachine/StatusText.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvane {
namespace {

const Date now = dateFromUnix(1717243200); // 2024-06-01T12:00:00Z

const std::string manual = "set to back up only when you click Backup Now.";
const std::string offline = "can't reach its servers right now, so backing up is on hold.";

Mac fixtureMac(const std::string& name) {
    return Mac{std::string(QUORVANE_FIXTURES) + "/backblaze/" + name, "/Users/ann"};
}

std::string millis(double seconds) {
    return std::to_string(static_cast<long long>(seconds * 1000));
}

std::string pauseFile(const std::string& until, const std::string& reason) {
    std::string text = "<pauseinfo";
    if (!until.empty())
        text += " pauseuntil_gmt_millis=\"" + until + "\"";
    if (!reason.empty())
        text += " pauseuntil_reason=\"" + reason + "\"";
    return text + " />";
}

TEST(ParseBackblaze, ReadsTheReports) {
    const ToolStatus status = parseBackblaze("<x gmt_millis=\"1717189805250\" />",
                                             "<x remainingnumfilesforbackup=\"12\" />", false,
                                             "continuously", std::nullopt, now);
    EXPECT_EQ(status.tool, ToolStatus::Tool::backblaze);
    EXPECT_EQ(status.name, std::nullopt);
    EXPECT_EQ(status.destination, "Backblaze (cloud)");
    EXPECT_EQ(status.lastSuccess, dateFromUnix(1717189805.25));
    EXPECT_EQ(status.lastAttempt, std::nullopt);
    EXPECT_EQ(status.remainingFiles, 12);
    EXPECT_FALSE(status.failed);
    EXPECT_FALSE(status.warnings);
    EXPECT_EQ(status.reason, std::nullopt);
    EXPECT_FALSE(status.unreadable);
}

struct ValueCase {
    const char* name;
    std::optional<std::string> lastCompleted;
    std::optional<std::string> remaining;
    std::optional<double> lastSuccess;
    std::optional<std::int64_t> remainingFiles;
};

class BackblazeValues : public ::testing::TestWithParam<ValueCase> {};

TEST_P(BackblazeValues, AreFoundByPlainSearch) {
    const ValueCase& c = GetParam();
    auto view = [](const std::optional<std::string>& text) {
        return text ? std::optional<std::string_view>(*text) : std::nullopt;
    };
    const ToolStatus status = parseBackblaze(view(c.lastCompleted), view(c.remaining), false,
                                             std::nullopt, std::nullopt, now);
    std::optional<Date> lastSuccess;
    if (c.lastSuccess)
        lastSuccess = dateFromUnix(*c.lastSuccess);
    EXPECT_EQ(status.lastSuccess, lastSuccess);
    EXPECT_EQ(status.remainingFiles, c.remainingFiles);
}

INSTANTIATE_TEST_SUITE_P(
    Reports, BackblazeValues,
    ::testing::Values(
        // 1.5 seconds after 1970 cannot be a backup: dropped by the status.
        ValueCase{"tooEarly", "gmt_millis=\"1500\"", std::nullopt, std::nullopt, std::nullopt},
        ValueCase{"fractionKept", "gmt_millis=\"1717156800123\"", std::nullopt, 1717156800.123,
                  std::nullopt},
        ValueCase{"longerAttributeName", "<x last_gmt_millis=\"1717156800000\" />", std::nullopt,
                  1717156800, std::nullopt},
        ValueCase{"firstOccurrenceWins",
                  "gmt_millis=\"1717156800000\" gmt_millis=\"1717000000000\"", std::nullopt,
                  1717156800, std::nullopt},
        ValueCase{"notANumber", "gmt_millis=\"soon\"", std::nullopt, std::nullopt, std::nullopt},
        ValueCase{"noClosingQuote", "gmt_millis=\"1717156800000", std::nullopt, std::nullopt,
                  std::nullopt},
        ValueCase{"singleQuotes", "gmt_millis='1717156800000'", std::nullopt, std::nullopt,
                  std::nullopt},
        ValueCase{"remaining", std::nullopt, "remainingnumfilesforbackup=\"12\"", std::nullopt, 12},
        ValueCase{"remainingSigned", std::nullopt, "remainingnumfilesforbackup=\"+3\"",
                  std::nullopt, 3},
        ValueCase{"remainingEmpty", std::nullopt, "remainingnumfilesforbackup=\"\"", std::nullopt,
                  std::nullopt},
        ValueCase{"remainingFraction", std::nullopt, "remainingnumfilesforbackup=\"1.5\"",
                  std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct PauseCase {
    const char* name;
    bool paused;
    std::optional<std::string> schedule;
    std::optional<std::string> pauseInfo;
    bool warnings;
    std::optional<std::string> reason;
};

class BackblazeWarning : public ::testing::TestWithParam<PauseCase> {};

TEST_P(BackblazeWarning, ComesFromPauseAndSchedule) {
    const PauseCase& c = GetParam();
    auto view = [](const std::optional<std::string>& text) {
        return text ? std::optional<std::string_view>(*text) : std::nullopt;
    };
    const ToolStatus status = parseBackblaze("gmt_millis=\"1717156800000\"", std::nullopt, c.paused,
                                             view(c.schedule), view(c.pauseInfo), now);
    EXPECT_EQ(status.warnings, c.warnings);
    EXPECT_EQ(status.reason, c.reason);
    EXPECT_FALSE(status.failed);
}

const Date tomorrow = addSeconds(now, 86400);
const Date yesterday = addSeconds(now, -86400);

INSTANTIATE_TEST_SUITE_P(
    States, BackblazeWarning,
    ::testing::Values(
        PauseCase{"running", false, "continuously", std::nullopt, false, std::nullopt},
        PauseCase{"manualOnly", false, "only_when_click_backup_now", std::nullopt, true, manual},
        PauseCase{"pauseFileUnreadable", true, std::nullopt, std::nullopt, true, "paused."},
        PauseCase{"pausedUntil", true, std::nullopt,
                  pauseFile(millis(unixSeconds(tomorrow)), "User_Paused"), true,
                  "paused until " + shortDate(tomorrow, now) + "."},
        PauseCase{"pauseOver", true, std::nullopt, pauseFile(millis(unixSeconds(yesterday)), ""),
                  false, std::nullopt},
        PauseCase{"pauseOverButManual", true, "only_when_click_backup_now",
                  pauseFile(millis(unixSeconds(yesterday)), ""), true, manual},
        PauseCase{"pauseEndsExactlyNow", true, std::nullopt,
                  pauseFile(millis(unixSeconds(now)), ""), false, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

struct PauseTextCase {
    const char* name;
    std::optional<std::string> pauseInfo;
    std::optional<std::string> text;
};

class BackblazePauseText : public ::testing::TestWithParam<PauseTextCase> {};

TEST_P(BackblazePauseText, DescribesThePause) {
    const PauseTextCase& c = GetParam();
    const std::optional<std::string_view> info =
        c.pauseInfo ? std::optional<std::string_view>(*c.pauseInfo) : std::nullopt;
    EXPECT_EQ(backblazePauseText(info, now), c.text);
}

INSTANTIATE_TEST_SUITE_P(
    PauseFiles, BackblazePauseText,
    ::testing::Values(
        PauseTextCase{"noFileText", std::nullopt, "paused."},
        PauseTextCase{"nothingInIt", pauseFile("", ""), "paused."},
        PauseTextCase{"networkWithUntil",
                      pauseFile(millis(unixSeconds(tomorrow)), "Network_Unavailable"),
                      offline + " It tries again " + shortDate(tomorrow, now) + "."},
        PauseTextCase{"serverDownWithoutUntil", pauseFile("", "SERVER_DOWN"), offline},
        PauseTextCase{"tooFarAhead",
                      pauseFile(millis(unixSeconds(now) + 500 * 86400.0), "User_Paused"),
                      "paused."},
        PauseTextCase{"within400Days",
                      pauseFile(millis(unixSeconds(now) + 300 * 86400.0), "User_Paused"),
                      "paused until " + shortDate(addSeconds(now, 300 * 86400.0), now) + "."},
        PauseTextCase{"networkButOver", pauseFile(millis(unixSeconds(yesterday)), "network"),
                      std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadBackblaze, ReadsAPausedClient) {
    const std::optional<std::vector<ToolStatus>> statuses =
        readBackblaze(fixtureMac("paused"), now);
    ASSERT_TRUE(statuses.has_value());
    ASSERT_EQ(statuses->size(), 1u);
    const ToolStatus& status = (*statuses)[0];
    EXPECT_EQ(status.lastSuccess, dateFromUnix(1717189805.25));
    EXPECT_EQ(status.remainingFiles, 12);
    EXPECT_TRUE(status.warnings);
    EXPECT_EQ(status.reason, "paused until " + shortDate(dateFromUnix(1717300800), now) + ".");
}

TEST(ReadBackblaze, ClientThatHasNotReportedYet) {
    const std::optional<std::vector<ToolStatus>> starting =
        readBackblaze(fixtureMac("starting"), now);
    ASSERT_TRUE(starting.has_value());
    ASSERT_EQ(starting->size(), 1u);
    EXPECT_TRUE((*starting)[0].noBackupsSetUp);
    EXPECT_FALSE((*starting)[0].unreadable);
    EXPECT_EQ((*starting)[0].destination, std::nullopt);

    const std::optional<std::vector<ToolStatus>> silent = readBackblaze(fixtureMac("silent"), now);
    ASSERT_TRUE(silent.has_value());
    ASSERT_EQ(silent->size(), 1u);
    EXPECT_TRUE((*silent)[0].unreadable);
    EXPECT_FALSE((*silent)[0].noBackupsSetUp);
}

TEST(ReadBackblaze, AbsentWhenNotInstalled) {
    testing::TempMac mac;
    EXPECT_EQ(readBackblaze(mac.mac(), now), std::nullopt);
}

TEST(ReadBackblaze, ReportsThatAreLinksOrTooLargeCountAsMissing) {
    const std::string reports = "/Library/Backblaze.bzpkg/bzdata/bzreports/";
    testing::TempMac mac;
    mac.write("/outside/last.xml", "gmt_millis=\"1717156800000\"");
    mac.link(mac.host("/outside/last.xml").string(), reports + "bzstat_lastbackupcompleted.xml");
    // Just over the limit, with a readable value at its start.
    mac.write(reports + "bzstat_remainingbackup.xml",
              "remainingnumfilesforbackup=\"5\"" + std::string(1'000'000, ' '));
    mac.write(reports + "bzserv_heartbeat.txt", "1");
    const std::optional<std::vector<ToolStatus>> statuses = readBackblaze(mac.mac(), now);
    ASSERT_TRUE(statuses.has_value());
    ASSERT_EQ(statuses->size(), 1u);
    EXPECT_TRUE((*statuses)[0].noBackupsSetUp); // as if neither report existed
    EXPECT_EQ((*statuses)[0].lastSuccess, std::nullopt);

    // An oversized pause file still means paused, just without details.
    std::filesystem::remove(mac.host(reports + "bzstat_lastbackupcompleted.xml"));
    mac.write(reports + "bzstat_lastbackupcompleted.xml", "gmt_millis=\"1717156800000\"");
    mac.write("/Library/Backblaze.bzpkg/bzdata/pauseinfo.xml",
              pauseFile(millis(unixSeconds(tomorrow)), "") + std::string(64'000, ' '));
    mac.write("/Library/Backblaze.bzpkg/bzdata/bzinfo.xml",
              "<x backup_schedule_type='only_when_click_backup_now' />");
    const std::optional<std::vector<ToolStatus>> paused = readBackblaze(mac.mac(), now);
    ASSERT_TRUE(paused.has_value());
    EXPECT_EQ((*paused)[0].lastSuccess, dateFromUnix(1717156800));
    EXPECT_EQ((*paused)[0].remainingFiles, std::nullopt);
    EXPECT_EQ((*paused)[0].reason, "paused.");
}

} // namespace
} // namespace quorvane
