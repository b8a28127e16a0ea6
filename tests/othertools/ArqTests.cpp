#include "othertools/Arq.h"

#include "support/TempMac.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvane {
namespace {

const Date now = dateFromUnix(1717243200); // 2024-06-01T12:00:00Z

Mac fixtureMac(const std::string& name) {
    return Mac{std::string(QUORVANE_FIXTURES) + "/arq/" + name, "/Users/ann"};
}

// The one status for a document holding `plan` as its only plan.
ToolStatus onlyPlan(const std::string& plan) {
    const std::vector<ToolStatus> statuses =
        parseArqStats("{\"backupPlans\": [" + plan + "]}", now);
    EXPECT_EQ(statuses.size(), 1u);
    return statuses.empty()
               ? ToolStatus(ToolStatus::Tool::arq, "missing", std::nullopt, std::nullopt,
                            std::nullopt, false, false, std::nullopt, std::nullopt, true, now)
               : statuses.front();
}

struct PlanCase {
    const char* name;
    std::string activity; // the plan's "latestActivity" value
    bool failed;
    bool warnings;
    std::optional<std::string> reason;
};

class ArqPlanOutcome : public ::testing::TestWithParam<PlanCase> {};

TEST_P(ArqPlanOutcome, FollowsTheLatestActivity) {
    const PlanCase& c = GetParam();
    const ToolStatus status =
        onlyPlan(R"({"name": "Daily", "latestActivity": )" + c.activity + "}");
    EXPECT_EQ(status.failed, c.failed);
    EXPECT_EQ(status.warnings, c.warnings);
    EXPECT_EQ(status.reason, c.reason);
}

const std::string missingFile =
    "It can't find “Taxes.pdf”: was it moved, renamed or on a disk that isn't connected?";

INSTANTIATE_TEST_SUITE_P(
    Activities, ArqPlanOutcome,
    ::testing::Values(
        PlanCase{"goodRun", R"({"maxErrorSeverity": "None"})", false, false, std::nullopt},
        PlanCase{"missingSeverityIsGood", R"({})", false, false, std::nullopt},
        PlanCase{"highErrorPreferred",
                 R"({"maxErrorSeverity": "High", "errors": [
                     {"severity": "Low", "message": "timeout"},
                     {"severity": "High", "message": "disk full"}]})",
                 true, false, "Arq reported: disk full"},
        PlanCase{"highWithoutMessageFallsBackToFirst",
                 R"({"maxErrorSeverity": "High", "errors": [
                     {"severity": "Low", "message": "timeout"},
                     {"severity": "High", "message": 42}]})",
                 true, false, "Arq reported: timeout"},
        PlanCase{"missingFileAfterChosenMessage",
                 R"({"maxErrorSeverity": "High", "errors": [
                     {"severity": "High", "message": "disk full"},
                     {"severity": "Low", "message": "stat: No such file or directory",
                      "path": "/Users/ann/Taxes.pdf"}]})",
                 true, false, "Arq reported: disk full " + missingFile},
        PlanCase{"otherFileError",
                 R"({"maxErrorSeverity": "High", "errors": [
                     {"severity": "High", "message": "disk full"},
                     {"message": "Permission denied", "path": "/Users/ann/Private/"}]})",
                 true, false,
                 "Arq reported: disk full First file error: Permission denied (“Private”)."},
        PlanCase{"fileErrorIsTheChosenMessage",
                 R"({"maxErrorSeverity": "High", "errors": [
                     {"severity": "High", "message": "disk full", "path": "/Volumes/NAS"}]})",
                 true, false, "Arq reported: disk full"},
        PlanCase{"fileErrorWithoutChosenMessage",
                 R"({"maxErrorSeverity": "High", "errors": [
                     {"severity": "High"},
                     {"message": "read: No such file or directory", "path": "/Users/ann/Taxes.pdf"}]})",
                 true, false, "Arq reported: " + missingFile},
        PlanCase{"fileErrorPathNotText",
                 R"({"maxErrorSeverity": "High", "errors": [
                     {"severity": "High", "message": "disk full"},
                     {"message": "gone", "path": 7}]})",
                 true, false, "Arq reported: disk full"},
        PlanCase{"abortedWithoutErrors", R"({"aborted": true})", true, false,
                 "The last run was stopped before it finished."},
        PlanCase{"abortedNotBoolean", R"({"aborted": "yes"})", false, false, std::nullopt},
        PlanCase{"highWithoutErrors", R"({"maxErrorSeverity": "High"})", true, false, std::nullopt},
        PlanCase{"moderateWithoutCount",
                 R"({"maxErrorSeverity": "Moderate", "errorCount": 0,
                     "errors": [{"message": "skipped 1 file"}]})",
                 false, false, std::nullopt},
        PlanCase{"moderateWithCount",
                 R"({"maxErrorSeverity": "Moderate", "errorCount": 3, "errors": [
                     {"message": "skipped 3 files"},
                     {"message": "No such file or directory", "path": "/a/b.txt"}]})",
                 false, true, "Some files had errors: skipped 3 files"},
        PlanCase{"moderateCountNotInteger",
                 R"({"maxErrorSeverity": "Moderate", "errorCount": "3",
                     "errors": [{"message": "skipped"}]})",
                 false, false, std::nullopt},
        PlanCase{"severityIsCaseSensitive", R"({"maxErrorSeverity": "high"})", false, false,
                 std::nullopt},
        PlanCase{"quotedErrorsFarDownTheList",
                 R"({"maxErrorSeverity": "High", "errors": [
                     {"severity": "Low", "message": "first"},
                     {"severity": "Low", "message": "second"},
                     {"severity": "Low", "message": "third", "path": "/a/third.txt"},
                     {"severity": "Low", "message": "fourth", "path": "/a/fourth.txt"},
                     {"severity": "High", "message": "disk full"},
                     {"severity": "High", "message": "later high"}]})",
                 true, false, "Arq reported: disk full First file error: third (“third.txt”)."},
        PlanCase{"errorsHoldingANonObject",
                 R"({"aborted": true, "errors": [{"severity": "High", "message": "x"}, 3]})", true,
                 false, "The last run was stopped before it finished."},
        PlanCase{"errorMessageNotText",
                 R"({"maxErrorSeverity": "High", "errors": [
                     {"severity": "High", "message": {"text": "x"}},
                     {"message": "first file", "path": ["a"]}]})",
                 true, false, std::nullopt},
        PlanCase{"errorsNotAList",
                 R"({"maxErrorSeverity": "High", "aborted": true, "errors": {"message": "x"}})",
                 true, false, "The last run was stopped before it finished."}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ParseArqStats, ReadsThePlanFields) {
    const ToolStatus status = onlyPlan(R"({
        "name": "Daily",
        "lastBackedUp": "2024-05-31T10:00:00.123Z",
        "destination": {"name": "Bucket", "type": "S3Compatible"},
        "latestActivity": {"startedAt": "2024-06-01T09:00:00Z"}})");
    EXPECT_EQ(status.tool, ToolStatus::Tool::arq);
    EXPECT_EQ(status.name, "Daily");
    EXPECT_EQ(status.destination, "Bucket");
    EXPECT_EQ(status.destinationKind, "s3compatible");
    EXPECT_EQ(status.lastSuccess, dateFromUnix(1717149600.123));
    EXPECT_EQ(status.lastAttempt, dateFromUnix(1717232400));
    EXPECT_FALSE(status.unreadable);
}

TEST(ParseArqStats, MissingOrMistypedFieldsAreAbsent) {
    const ToolStatus bare = onlyPlan("{}");
    EXPECT_EQ(bare.name, std::nullopt);
    EXPECT_EQ(bare.destination, std::nullopt);
    EXPECT_EQ(bare.destinationKind, std::nullopt);
    EXPECT_EQ(bare.lastSuccess, std::nullopt);
    EXPECT_EQ(bare.lastAttempt, std::nullopt);
    EXPECT_FALSE(bare.failed);

    const ToolStatus odd = onlyPlan(R"({"name": 5, "lastBackedUp": "yesterday",
        "destination": "NAS", "latestActivity": [1, 2],
        "lastBackedUpAgain": "2024-05-31T10:00:00Z"})");
    EXPECT_EQ(odd.name, std::nullopt);
    EXPECT_EQ(odd.destination, std::nullopt);
    EXPECT_EQ(odd.lastSuccess, std::nullopt);
    EXPECT_FALSE(odd.failed);

    // Dates that cannot be real are dropped by the status itself.
    const ToolStatus future = onlyPlan(R"({"lastBackedUp": "2031-01-01T00:00:00Z"})");
    EXPECT_EQ(future.lastSuccess, std::nullopt);
}

TEST(ParseArqStats, SkipsWhatTheToolPrintsBeforeTheDocument) {
    const std::vector<ToolStatus> statuses = parseArqStats(
        "Warning: cached copy\n{\"backupPlans\": [{\"name\": \"A\"}, {\"name\": \"B\"}]}\n", now);
    ASSERT_EQ(statuses.size(), 2u);
    EXPECT_EQ(statuses[0].name, "A");
    EXPECT_EQ(statuses[1].name, "B");
}

struct DocumentCase {
    const char* name;
    std::string output;
    bool unreadable;
    bool noBackups;
    bool licenceNote;
};

class ArqDocument : public ::testing::TestWithParam<DocumentCase> {};

TEST_P(ArqDocument, GivesOneStatusSayingWhy) {
    const DocumentCase& c = GetParam();
    const std::vector<ToolStatus> statuses = arqStatuses(c.output, now);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].name, std::nullopt);
    EXPECT_EQ(statuses[0].unreadable, c.unreadable);
    EXPECT_EQ(statuses[0].noBackupsSetUp, c.noBackups);
    EXPECT_EQ(statuses[0].note.has_value(), c.licenceNote);
    if (c.licenceNote) {
        EXPECT_EQ(statuses[0].note, "Arq's status tool needs its licence accepted once. Open "
                                    "Arq; if this stays, see Arq's help on \"arqc\".");
    }
}

INSTANTIATE_TEST_SUITE_P(
    Outputs, ArqDocument,
    ::testing::Values(
        DocumentCase{"emptyPlanList", R"({"backupPlans": []})", false, true, false},
        DocumentCase{"planNotAnObject", R"({"backupPlans": [{"name": "A"}, 3]})", true, false,
                     false},
        DocumentCase{"planListNotAList", R"({"backupPlans": {"name": "A"}})", true, false, false},
        DocumentCase{"emptyOutput", "", true, false, false},
        DocumentCase{"notJSON", "arqc: command not found", true, false, false},
        DocumentCase{"otherDocument", R"({"plans": []})", true, false, false},
        DocumentCase{"keyWithoutQuotes", "backupPlans: none", true, false, false},
        DocumentCase{"brokenDocumentNamingPlans", R"({"backupPlans": [)", true, false, false},
        DocumentCase{"truncatedAfterAPlan",
                     R"({"backupPlans": [{"name": "A", "lastBackedUp": "2024-04-01T10:00:00Z"},)",
                     true, false, false},
        DocumentCase{"emptyPlanListAfterWarning", "Warning: cached\n{\"backupPlans\": [ ]}\n",
                     false, true, false},
        DocumentCase{"licence", "You must accept the license agreement before using arqc.", true,
                     false, true},
        DocumentCase{"licenceWithoutToolName", "Please accept the license agreement.", true, false,
                     false},
        DocumentCase{"notUTF8", "{\"backupPlans\": [{\"name\": \"\xff\"}]}", true, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ReadArq, ReadsThePlansFromTheTool) {
    const std::optional<std::vector<ToolStatus>> statuses = readArq(fixtureMac("plans"), now);
    ASSERT_TRUE(statuses.has_value());
    ASSERT_EQ(statuses->size(), 2u);
    const ToolStatus& nas = (*statuses)[0];
    EXPECT_EQ(nas.id(), "Arq/Documents to NAS");
    EXPECT_EQ(nas.destination, "Home NAS");
    EXPECT_EQ(nas.destinationKind, "sftp");
    EXPECT_TRUE(nas.failed);
    EXPECT_EQ(nas.reason, "Arq reported: disk full It can't find “Taxes 2023.pdf”: was it moved, "
                          "renamed or on a disk that isn't connected?");
    EXPECT_EQ(nas.lastSuccess, dateFromUnix(1717106400));
    EXPECT_EQ(nas.lastAttempt, dateFromUnix(1717192800.5));
    const ToolStatus& cloud = (*statuses)[1];
    EXPECT_EQ(cloud.destinationKind, "wasabi");
    EXPECT_FALSE(cloud.failed);
    EXPECT_EQ(cloud.lastSuccess, dateFromUnix(1717226100)); // 09:15 at +02:00
}

TEST(ReadArq, ToolTroubleGivesOneUnreadableStatus) {
    const std::optional<std::vector<ToolStatus>> licence = readArq(fixtureMac("licence"), now);
    ASSERT_TRUE(licence.has_value());
    ASSERT_EQ(licence->size(), 1u);
    EXPECT_TRUE((*licence)[0].unreadable);
    EXPECT_TRUE((*licence)[0].note.has_value());

    // A failing exit status makes the printed document worthless, even a valid one.
    const std::optional<std::vector<ToolStatus>> broken = readArq(fixtureMac("broken"), now);
    ASSERT_TRUE(broken.has_value());
    ASSERT_EQ(broken->size(), 1u);
    EXPECT_TRUE((*broken)[0].unreadable);
    EXPECT_FALSE((*broken)[0].noBackupsSetUp);
    EXPECT_EQ((*broken)[0].note, std::nullopt);
}

TEST(ReadArq, AbsentWhenNotInstalledAndRefusesALink) {
    testing::TempMac mac;
    EXPECT_EQ(readArq(mac.mac(), now), std::nullopt);

    mac.link(fixtureMac("plans").hostPath(arqcPath).string(), arqcPath);
    const std::optional<std::vector<ToolStatus>> statuses = readArq(mac.mac(), now);
    ASSERT_TRUE(statuses.has_value());
    ASSERT_EQ(statuses->size(), 1u);
    EXPECT_TRUE((*statuses)[0].unreadable);
}

} // namespace
} // namespace quorvane
