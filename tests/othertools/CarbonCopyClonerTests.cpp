#include "othertools/CarbonCopyCloner.h"

#include "support/TempMac.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

namespace quorvane {
namespace {

using ::testing::ElementsAre;

const Date now = dateFromUnix(1717243200); // 2024-06-01T12:00:00Z

const std::string failedReason =
    "Carbon Copy Cloner says the last run failed. It doesn't record the reason in its history; "
    "open Carbon Copy Cloner to see it.";

Mac fixtureMac(const std::string& name) {
    return Mac{std::string(QUORVANE_FIXTURES) + "/ccc/" + name, "/Users/ann"};
}

ToolStatus task(std::string name) {
    return ToolStatus(ToolStatus::Tool::ccc, std::move(name), std::nullopt, std::nullopt,
                      std::nullopt, false, false, std::nullopt, std::nullopt, false, now);
}

struct CsvCase {
    const char* name;
    std::string line;
    std::vector<std::string> fields;
};

class CsvFields : public ::testing::TestWithParam<CsvCase> {};

TEST_P(CsvFields, SplitsLeniently) {
    EXPECT_EQ(csvFields(GetParam().line), GetParam().fields);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, CsvFields,
    ::testing::Values(CsvCase{"plain", "a,b,c", {"a", "b", "c"}},
                      CsvCase{"quotedComma", "\"Photos, old\",b", {"Photos, old", "b"}},
                      CsvCase{"doubledQuote", "\"say \"\"hi\"\"\",x", {"say \"hi\"", "x"}},
                      CsvCase{
                          "unterminatedQuoteRunsToEnd", "\"open, still open", {"open, still open"}},
                      CsvCase{"textAfterClosingQuote", "\"x\"y,z", {"xy", "z"}},
                      CsvCase{"trimsSpacesAndTabs", "  a  ,\tb ", {"a", "b"}},
                      CsvCase{"trimsUnicodeSpaces", "\u00a0a\u2003,\u3000b\u202f", {"a", "b"}},
                      CsvCase{"keepsSpaceInsideQuotes", "\" a \"", {"a"}},
                      CsvCase{"emptyLine", "", {""}}, CsvCase{"trailingComma", "a,", {"a", ""}},
                      CsvCase{"multiByteTextKept", "Fotos “Urlaub”,ß", {"Fotos “Urlaub”", "ß"}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseCCCHistory, LatestFailureKeepsTheEarlierSuccess) {
    const std::vector<ToolStatus> statuses =
        parseCCCHistory("Daily,Macintosh HD,Backup SSD,1717149600,,,Success\n"
                        "Daily,Macintosh HD,Backup SSD,1717236000,,,Failed\n",
                        now);
    ASSERT_EQ(statuses.size(), 1u);
    const ToolStatus& daily = statuses[0];
    EXPECT_EQ(daily.tool, ToolStatus::Tool::ccc);
    EXPECT_EQ(daily.name, "Daily");
    EXPECT_EQ(daily.destination, "Backup SSD");
    EXPECT_TRUE(daily.failed);
    EXPECT_FALSE(daily.warnings);
    EXPECT_EQ(daily.lastSuccess, dateFromUnix(1717149600));
    EXPECT_EQ(daily.lastAttempt, dateFromUnix(1717236000));
    EXPECT_EQ(daily.reason, failedReason);
}

struct OutcomeCase {
    const char* name;
    std::string history; // the newest row last; rows are sorted by start time anyway
    bool failed;
    bool warnings;
    std::optional<std::string> reason;
    std::optional<double> lastSuccess;
};

class CCCOutcome : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(CCCOutcome, ComesFromTheLatestRun) {
    const OutcomeCase& c = GetParam();
    const std::vector<ToolStatus> statuses = parseCCCHistory(c.history, now);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].failed, c.failed);
    EXPECT_EQ(statuses[0].warnings, c.warnings);
    EXPECT_EQ(statuses[0].reason, c.reason);
    std::optional<Date> lastSuccess;
    if (c.lastSuccess)
        lastSuccess = dateFromUnix(*c.lastSuccess);
    EXPECT_EQ(statuses[0].lastSuccess, lastSuccess);
}

INSTANTIATE_TEST_SUITE_P(
    Results, CCCOutcome,
    ::testing::Values(
        OutcomeCase{"success", "T,s,d,1717000000,,,Success", false, false, std::nullopt,
                    1717000000},
        OutcomeCase{"completed", "T,s,d,1717000000,,,Task completed", false, false, std::nullopt,
                    1717000000},
        OutcomeCase{"completedWithErrors", "T,s,d,1717000000,,,Completed with errors", false, true,
                    "Completed with errors on some files.", 1717000000},
        OutcomeCase{"warning", "T,s,d,1717000000,,,Success (1 Warning)", false, true,
                    "Completed with errors on some files.", 1717000000},
        OutcomeCase{"cancelledAfterSuccess",
                    "T,s,d,1716000000,,,Success\nT,s,d,1717000000,,,Cancelled by user", false,
                    false, "The last run was cancelled.", 1716000000},
        OutcomeCase{"cancelWinsOverComplete", "T,s,d,1717000000,,,\"Completed, then cancelled\"",
                    false, false, "The last run was cancelled.", std::nullopt},
        OutcomeCase{"failedAnyCase", "T,s,d,1717000000,,,FAILED", true, false, failedReason,
                    std::nullopt},
        OutcomeCase{"otherWording", "T,s,d,1717000000,,,Source volume unavailable", true, false,
                    "Carbon Copy Cloner says the last run ended with “Source volume "
                    "unavailable”. It doesn't record the reason in its history; open Carbon "
                    "Copy Cloner to see it.",
                    std::nullopt},
        // Rows are ordered by start time, not by their place in the output.
        OutcomeCase{"newestFirstInOutput", "T,s,d,1717000000,,,Failed\nT,s,d,1716000000,,,Success",
                    true, false, failedReason, 1716000000},
        // A row without a readable start counts as the oldest.
        OutcomeCase{"undatedRowIsOldest", "T,s,d,1717000000,,,Success\nT,s,d,soon,,,Failed", false,
                    false, std::nullopt, 1717000000}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseCCCHistory, ReadsBothDateForms) {
    // TZ is Europe/Berlin in the tests: 9:30 PM on 1 May 2024 is 19:30 UTC.
    const std::vector<ToolStatus> statuses =
        parseCCCHistory("A,s,d,\"5/1/24, 9:30 PM\",,,Success\n"
                        "B,s,d,1714591800.25,,,Success\n"
                        "C,s,d,\"2024-05-01 21:30\",,,Success\n"
                        "D,s,d,\"5/1/24, 9:30 PM tomorrow\",,,Success\n",
                        now);
    ASSERT_EQ(statuses.size(), 4u);
    EXPECT_EQ(statuses[0].lastSuccess, dateFromUnix(1714591800));
    EXPECT_EQ(statuses[1].lastSuccess, dateFromUnix(1714591800.25));
    EXPECT_EQ(statuses[2].lastSuccess, std::nullopt);
    EXPECT_EQ(statuses[3].lastSuccess, std::nullopt);
}

TEST(ParseCCCHistory, PipeAndQuotedCommaRowsAreTheSame) {
    const std::vector<ToolStatus> pipe =
        parseCCCHistory("Photos, old | src | Archive | 1717000000 | e | du | Success | 12", now);
    const std::vector<ToolStatus> csv = parseCCCHistory(
        "\"Photos, old\",\"src\",\"Archive\",\"1717000000\",e,du,\"Success\",\"12\"", now);
    ASSERT_EQ(pipe.size(), 1u);
    EXPECT_EQ(pipe, csv);
    EXPECT_EQ(pipe[0].name, "Photos, old");
    EXPECT_EQ(pipe[0].destination, "Archive");
}

TEST(ParseCCCHistory, SkipsHeadersAndShortLinesAndKeepsTaskOrder) {
    const std::vector<ToolStatus> statuses =
        parseCCCHistory("TASK NAME,Source,Destination,Start,End,Duration,Result\r\n"
                        "task|a|b|c|d|e|f\r\n"
                        "Short,s,d,1717000000,,Success\u2028"          // 6 fields
                        "Zeta,s,,1717000000,,,Success\u2029"           // empty destination is kept
                        "Alpha,s,Disk,1716000000,,,Success\x0b"        // vertical tab
                        "Zeta,s,Other,1716000000,,,Success\xc2\x85\f", // next line, form feed
                        now);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].name, "Zeta");
    EXPECT_EQ(statuses[0].destination, "");
    EXPECT_EQ(statuses[1].name, "Alpha");
}

TEST(ParseCCCTaskNames, TakesQuotedLinesOnly) {
    EXPECT_THAT(parseCCCTaskNames("Task Name,Schedule\n"
                                  "\"Daily\",\"Every day\"\n"
                                  "No tasks here\n"
                                  "\"\",\"nameless\"\n"
                                  "\"Photos, old\",\"Weekly\"\r\n"
                                  "\"Daily\",\"again\""),
                ElementsAre("Daily", "Photos, old", "Daily"));
}

TEST(CCCStatuses, AddsScheduledTasksThatNeverRan) {
    const std::vector<ToolStatus> statuses = cccStatuses(
        "Daily,s,d,1717000000,,,Success\n", "\"Daily\",x\n\"Weekly\",y\n\"Weekly\",z", now);
    ASSERT_EQ(statuses.size(), 3u);
    EXPECT_EQ(statuses[0].name, "Daily");
    // Each repeat in the task list is added, as Carbon Copy Cloner lists it.
    EXPECT_EQ(statuses[1], task("Weekly"));
    EXPECT_EQ(statuses[2], task("Weekly"));
}

struct EmptyCase {
    const char* name;
    std::string text;
    bool noBackups;
    std::optional<std::string> note;
};

class CCCNothingListed : public ::testing::TestWithParam<EmptyCase> {};

TEST_P(CCCNothingListed, SaysWhy) {
    const EmptyCase& c = GetParam();
    const std::vector<ToolStatus> statuses = cccStatuses(c.text, std::nullopt, now);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].name, std::nullopt);
    EXPECT_EQ(statuses[0].noBackupsSetUp, c.noBackups);
    EXPECT_EQ(statuses[0].unreadable, !c.noBackups);
    EXPECT_EQ(statuses[0].note, c.note);
}

INSTANTIATE_TEST_SUITE_P(
    Messages, CCCNothingListed,
    ::testing::Values(
        EmptyCase{"noHistory", "\nFailed to retrieve any task history events", true, std::nullopt},
        EmptyCase{"noTasks", "\nNo tasks configured", true, std::nullopt},
        EmptyCase{"helperMissing", "\nThe XPC connection to the helper tool was invalidated.",
                  false,
                  "Carbon Copy Cloner's helper isn't running yet. Open Carbon Copy Cloner and "
                  "finish its setup."},
        EmptyCase{"unrecognised", "something else entirely", false, std::nullopt},
        EmptyCase{"empty", "", false, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadCCC, ReadsHistoryAndScheduleFromTheTool) {
    const std::optional<std::vector<ToolStatus>> statuses = readCCC(fixtureMac("tasks"), now);
    ASSERT_TRUE(statuses.has_value());
    ASSERT_EQ(statuses->size(), 3u);
    const ToolStatus& daily = (*statuses)[0];
    EXPECT_EQ(daily.name, "Daily");
    EXPECT_TRUE(daily.failed);
    EXPECT_EQ(daily.lastSuccess, dateFromUnix(1714503600)); // 4/30/24, 9:00 PM in Berlin
    EXPECT_EQ(daily.lastAttempt, dateFromUnix(1714590000)); // 5/1/24, 9:00 PM in Berlin
    const ToolStatus& photos = (*statuses)[1];
    EXPECT_EQ(photos.name, "Photos to Archive");
    EXPECT_EQ(photos.destination, "Archive");
    EXPECT_TRUE(photos.warnings);
    EXPECT_EQ((*statuses)[2], task("Weekly Clone"));
}

TEST(ReadCCC, ExplainsTheToolsOwnMessages) {
    const std::optional<std::vector<ToolStatus>> helper = readCCC(fixtureMac("no-helper"), now);
    ASSERT_TRUE(helper.has_value());
    ASSERT_EQ(helper->size(), 1u);
    EXPECT_TRUE((*helper)[0].unreadable);
    EXPECT_TRUE((*helper)[0].note.has_value());

    const std::optional<std::vector<ToolStatus>> fresh = readCCC(fixtureMac("no-tasks"), now);
    ASSERT_TRUE(fresh.has_value());
    ASSERT_EQ(fresh->size(), 1u);
    EXPECT_TRUE((*fresh)[0].noBackupsSetUp);
}

TEST(ReadCCC, AbsentWhenNotInstalled) {
    testing::TempMac mac;
    EXPECT_EQ(readCCC(mac.mac(), now), std::nullopt);
}

TEST(ReadCCC, NeverRunsAnUntrustedTool) {
    const std::filesystem::path real = fixtureMac("tasks").hostPath(cccPath);
    {
        // A link to a good tool is refused like any untrusted file.
        testing::TempMac mac;
        mac.link(real.string(), cccPath);
        const std::optional<std::vector<ToolStatus>> statuses = readCCC(mac.mac(), now);
        ASSERT_TRUE(statuses.has_value());
        ASSERT_EQ(statuses->size(), 1u);
        EXPECT_TRUE((*statuses)[0].unreadable);
        EXPECT_EQ((*statuses)[0].note, std::nullopt);
    }
    {
        // A tool anyone may change is refused.
        testing::TempMac mac;
        mac.write(cccPath, "#!/bin/sh\necho 'T,s,d,1717000000,,,Success'\n");
        std::filesystem::permissions(mac.host(cccPath), std::filesystem::perms(0777));
        const std::optional<std::vector<ToolStatus>> statuses = readCCC(mac.mac(), now);
        ASSERT_TRUE(statuses.has_value());
        ASSERT_EQ(statuses->size(), 1u);
        EXPECT_TRUE((*statuses)[0].unreadable);
    }
}

} // namespace
} // namespace quorvane
