#include "Modes.h"
#include "PrintStatus.h"

#include <gtest/gtest.h>

using namespace quorvane;

TEST(ChooseMode, PrintStatusWinsAndTakesTheNextArgumentAsPath) {
    struct Case {
        std::vector<std::string> arguments;
        Invocation expected;
    };
    const Case cases[] = {
        {{}, {Mode::application, std::nullopt}},
        {{"--verbose", "-psn_0_12345"}, {Mode::application, std::nullopt}},
        {{"--smoke-test"}, {Mode::smokeTest, std::nullopt}},
        {{"--Print-Status"}, {Mode::application, std::nullopt}},
        {{"--print-status"}, {Mode::printStatus, std::nullopt}},
        {{"--print-status", "/tmp/out.txt"}, {Mode::printStatus, "/tmp/out.txt"}},
        {{"--smoke-test", "--print-status"}, {Mode::printStatus, std::nullopt}},
        {{"--print-status", "--smoke-test"}, {Mode::printStatus, std::nullopt}},
        {{"x", "--print-status", "a", "--print-status", "b"}, {Mode::printStatus, "a"}},
        {{"--print-status", "--verbose"}, {Mode::printStatus, "--verbose"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.arguments));
        EXPECT_EQ(chooseMode(c.arguments), c.expected);
    }
}

TEST(StandardisedPath, ExpandsTildeAndRemovesDotsAndSeparators) {
    struct Case {
        const char* path;
        const char* expected;
    };
    const Case cases[] = {
        {"/tmp/out.txt", "/tmp/out.txt"},
        {"/tmp//./a/../out.txt", "/tmp/out.txt"},
        {"/tmp/../etc/passwd", "/etc/passwd"},
        {"/../../tmp/x", "/tmp/x"},
        {"/tmp/", "/tmp"},
        {"/", "/"},
        {"~/out.txt", "/home/ann/out.txt"},
        {"~", "/home/ann"},
        {"~root/x", "/root/x"},
        {"~no-such-user-here/x", "~no-such-user-here/x"},
        {"tmp/../../x", "../x"},
        {"./x", "x"},
        {"", "."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(standardisedPath(c.path, "/home/ann"), c.expected);
    }
}

TEST(InsideTemporaryFolder, AcceptsOnlyPathsBelowTheFolders) {
    const std::string temporary = "/var/folders/xy/T/";
    for (const char* inside : {"/tmp/a", "/private/tmp/a", "/var/folders/xy/T/a", "/tmp/a/b"})
        EXPECT_TRUE(insideTemporaryFolder(inside, temporary)) << inside;
    for (const char* outside :
         {"/tmp", "/tmpfoo/a", "/etc/passwd", "/var/folders/xy/T", "tmp/a", "/private/tmpx/a"})
        EXPECT_FALSE(insideTemporaryFolder(outside, temporary)) << outside;
}

TEST(PrintoutText, DropsEmptyLinesAndEndsWithOneLineFeed) {
    EXPECT_EQ(printoutText({"a", "", "b", ""}), "a\nb\n");
    EXPECT_EQ(printoutText({"only"}), "only\n");
    // A disk name from the Mac's files cannot start a line of its own.
    EXPECT_EQ(printoutText({"Disk\n[green] fine\r\tx: detail"}), "Disk [green] fine  x: detail\n");
    EXPECT_EQ(printoutText({"Ann\u2019s Backup \u2713"}), "Ann\u2019s Backup \u2713\n");
}

TEST(PrintoutText, LineAndParagraphSeparatorsAndBidiControlsBecomeSpaces) {
    for (const char* mark : {"\u0085", "\u2028", "\u2029", "\u202A", "\u202B", "\u202C", "\u202D",
                             "\u202E", "\u2066", "\u2067", "\u2068", "\u2069"}) {
        SCOPED_TRACE(testing::PrintToString(std::string(mark)));
        EXPECT_EQ(printoutText({std::string("Disk") + mark + "[red] x"}), "Disk [red] x\n");
    }
    // Their neighbours, and text cut off inside such a sequence, stay as they are.
    for (const char* kept :
         {"\u2027", "\u202F", "\u2065", "\u206A", "\u0084", "\u00A0", "\xE2\x80", "\xC2"})
        EXPECT_EQ(printoutText({std::string("a") + kept}), std::string("a") + kept + "\n")
            << testing::PrintToString(std::string(kept));
}

TEST(IssueLine, BracketedLevelTitleAndOptionalDetail) {
    Issue withDetail;
    withDetail.level = HealthLevel::amber;
    withDetail.title = "Backups to NAS are failing";
    withDetail.detail = "3 attempts didn't finish.";
    EXPECT_EQ(issueLine(withDetail),
              "[amber] Backups to NAS are failing \u2014 3 attempts didn't finish.");
    Issue bare;
    bare.level = HealthLevel::unknown;
    bare.title = "Something";
    EXPECT_EQ(issueLine(bare), "[unknown] Something");
}

TEST(PrintoutLines, ReadingsThatAreNotReadGiveOnlyTheAnswerAndHeadline) {
    PrintoutReadings notSetUp;
    EXPECT_EQ(printoutText(printoutLines(notSetUp)),
              "If this Mac stopped working now, there's no completed backup to get your files back "
              "from.\n"
              "Time Machine isn't set up on this Mac\n");

    PrintoutReadings unreadable;
    unreadable.reading = SettingsReading::unreadable();
    EXPECT_EQ(printoutText(printoutLines(unreadable)),
              "If this Mac stopped working now, there's no completed backup to get your files back "
              "from.\n"
              "Couldn't read Time Machine's settings.\n"
              "Nothing was changed. Quorvane Ombrel will try again.\n");
}

TEST(PrintoutLines, AnswerHeadlineDestinationsThenIssues) {
    PrintoutReadings readings;
    readings.now = dateFromUnix(1'709'900'000); // 2024-03-08 13:13 in Berlin
    TimeMachineSettings settings;
    BackupDestination disk;
    disk.name = "Disk";
    disk.kind = BackupDestination::Kind::local;
    disk.completed = {dateFromUnix(1'709'890'000)};
    BackupDestination share;
    share.kind = BackupDestination::Kind::network;
    share.attempts = {dateFromUnix(1'709'880'000)};
    settings.destinations = {disk, share};
    readings.reading = SettingsReading::read(settings);
    EXPECT_EQ(printoutText(printoutLines(readings)),
              "If this Mac stopped working now, you could get your files back as they were on "
              "Mar 8, 10:26 (2 hours ago), from Disk.\n"
              "Last completed backup: today\n"
              "Mar 8, 10:26 to Disk\n"
              "Disk: Last completed today.\n"
              "backup disk (network): No completed backup recorded.\n"
              "[red] backup disk (network) has never finished a backup \u2014 1 attempt so far; "
              "none finished. Nothing on this Mac can be recovered from this disk yet.\n");
}
