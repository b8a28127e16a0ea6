#include "history/Reassurance.h"

#include "timemachine/StatusText.h"

#include <gtest/gtest.h>

using namespace quorvane;

namespace {

const Date day0 = dateFromUnix(1'790'000'000);
constexpr double day = 86400;

Date onDay(double n) {
    return day0 + Seconds(n * day);
}

HistoryEvent completed(Date when, std::optional<std::string> id = "D1",
                       std::optional<std::string> name = std::nullopt,
                       std::string source = "Time Machine") {
    HistoryEvent e;
    e.date = when;
    e.kind = HistoryEvent::Kind::completed;
    e.source = std::move(source);
    e.destinationID = std::move(id);
    e.destinationName = std::move(name);
    e.text = "Backup completed";
    return e;
}

HistoryEvent failedEvent(Date when) {
    HistoryEvent e = completed(when);
    e.kind = HistoryEvent::Kind::failed;
    return e;
}

Issue issue(IssueKind kind, HealthLevel level, std::string title,
            std::optional<std::string> destination = std::nullopt) {
    return Issue{kind, std::move(destination), level, std::move(title), "detail", "check"};
}

} // namespace

TEST(Reassurance, GapsBetweenCompletionsAndTheOpenOne) {
    const std::vector<HistoryEvent> events{completed(onDay(5)), completed(onDay(0)),
                                           completed(onDay(1), "D2"),
                                           completed(onDay(2), std::nullopt)};
    EXPECT_EQ(gaps(events, "D1", 3, onDay(6)), (std::vector<Gap>{{onDay(0), onDay(5)}}));
    EXPECT_EQ(gaps(events, "D1", 3, onDay(9)),
              (std::vector<Gap>{{onDay(0), onDay(5)}, {onDay(5), onDay(9)}}));
    // Exactly minDays apart is not a gap.
    EXPECT_TRUE(gaps({completed(onDay(0)), completed(onDay(3))}, "D1", 3, onDay(6)).empty());
    EXPECT_TRUE(gaps(events, "D9", 3, onDay(30)).empty());
}

TEST(Reassurance, TrackRecordLine) {
    const Date since = onDay(10);
    const std::vector<HistoryEvent> events{completed(since - Seconds(25 * 3600)),
                                           completed(since - Seconds(23 * 3600)),
                                           failedEvent(since + Seconds(3600))};
    EXPECT_EQ(trackRecordLine(events, since, {}, std::nullopt, onDay(12)),
              "Watching since " + dayMonth(since, onDay(12)) +
                  ": 1 backup seen, no gaps in watching. No restore test yet.");

    RestoreTestState test;
    test.results = {{onDay(11), true, std::nullopt}};
    EXPECT_EQ(trackRecordLine({}, since, {{onDay(10), onDay(11)}, {onDay(11), onDay(12)}}, test,
                              onDay(12)),
              "Watching since " + dayMonth(since, onDay(12)) +
                  ": 0 backups seen, 2 gaps in watching (Mac off or asleep). Last restore test "
                  "passed " +
                  dayMonth(onDay(11), onDay(12)) + ".");
}

TEST(Reassurance, WeeklySummary) {
    const Date now = onDay(20);
    std::vector<HistoryEvent> events{completed(onDay(10), "A", "Old disk")};
    for (std::string name : {"Echo", "Delta", "Charlie", "Bravo", "Alpha"})
        events.push_back(completed(onDay(15), name, name));
    events.push_back(completed(onDay(16), "x", std::nullopt, "Arq"));
    events.push_back(failedEvent(onDay(17)));
    const std::vector<Issue> issues{issue(IssueKind::away, HealthLevel::green, "Away"),
                                    issue(IssueKind::overdue, HealthLevel::amber, "First"),
                                    issue(IssueKind::failing, HealthLevel::red, "Second"),
                                    issue(IssueKind::stuck, HealthLevel::red, "Third")};
    RestoreTestState test;
    test.results = {{onDay(18), false, std::nullopt}};
    auto summary = weeklySummary(events, issues, onDay(16), test, now);
    EXPECT_EQ(summary.title, "Quorvane Ombrel: your week");
    EXPECT_EQ(summary.body, "6 backups completed this week (Alpha, Arq, Bravo). 1 attempt didn't "
                            "finish. Last completed: " +
                                shortDate(onDay(16), now) +
                                ". Open: First; Second. Last restore test: failed " +
                                dayMonth(onDay(18), now) + ".");

    auto quiet = weeklySummary({}, {issue(IssueKind::away, HealthLevel::green, "Away")},
                               std::nullopt, std::nullopt, now);
    EXPECT_EQ(quiet.body, "No completed backups seen this week. No open problems.");
}

TEST(Reassurance, PhotosAndCloudFolders) {
    EXPECT_EQ(photosCoverageLine(false, true), std::nullopt);
    EXPECT_EQ(photosCoverageLine(true, true), "Your Photos library is excluded from Time Machine, "
                                              "so no photo on this Mac is in that backup.");
    EXPECT_TRUE(photosCoverageLine(true, false)->starts_with("Photos: if iCloud Photos"));

    EXPECT_EQ(cloudStorageProviders({"Dropbox", "Dropbox (Personal)", "GoogleDrive-ann@example.com",
                                     "iCloud", "BoxSync", "OneDrive-Work"}),
              (std::vector<std::string>{"Dropbox", "Google Drive", "Box", "OneDrive"}));

    EXPECT_EQ(cloudFolderIssue({"Dropbox"}, false), std::nullopt);
    EXPECT_EQ(cloudFolderIssue({}, true), std::nullopt);
    auto one = cloudFolderIssue({"Dropbox"}, true);
    ASSERT_TRUE(one);
    EXPECT_EQ(one->id(), "coverageGap:tool:Backblaze/cloud");
    EXPECT_EQ(one->title, "Backblaze doesn't back up your Dropbox folder");
    auto three = cloudFolderIssue({"Dropbox", "Google Drive", "OneDrive"}, true);
    EXPECT_EQ(three->title,
              "Backblaze doesn't back up your Dropbox, Google Drive and OneDrive folders");
    EXPECT_EQ(three->detail,
              "Backblaze skips cloud-storage folders. Those files are only in Dropbox, "
              "Google Drive and OneDrive and on this Mac, and a deletion in one syncs "
              "to the other.");
}

TEST(Reassurance, SoftensMissingTimeMachineBackupWhenAnotherToolIsRecent) {
    const Date now = onDay(20);
    const std::vector<Issue> issues{
        issue(IssueKind::noCompleted, HealthLevel::red, "No backup yet"),
        issue(IssueKind::noCompleted, HealthLevel::red, "Disk", "D1"),
        issue(IssueKind::overdue, HealthLevel::red, "Late")};
    const ToolStatus old(ToolStatus::Tool::arq, "Daily", std::nullopt, onDay(10), onDay(10), false,
                         false, std::nullopt, std::nullopt, false, now);
    EXPECT_EQ(softenTimeMachineNotSetUp(issues, {old}, 7, now), issues);

    const ToolStatus failing(ToolStatus::Tool::ccc, "Clone", std::nullopt, onDay(19), onDay(19),
                             true, false, std::nullopt, std::nullopt, false, now);
    const ToolStatus recent(ToolStatus::Tool::arq, "Daily", std::nullopt, onDay(19), onDay(19),
                            false, false, std::nullopt, std::nullopt, false, now);
    auto softened = softenTimeMachineNotSetUp(issues, {old, failing, recent}, 7, now);
    ASSERT_EQ(softened.size(), 3u);
    EXPECT_EQ(softened[0].level, HealthLevel::amber);
    EXPECT_EQ(softened[0].title, "No backup yet");
    EXPECT_EQ(softened[0].check, "check");
    EXPECT_EQ(softened[0].detail,
              recent.label() + " completed a backup " + shortDate(onDay(19), now) +
                  ", so this Mac has a recent backup there. Time Machine adds a "
                  "second, local copy.");
    EXPECT_EQ(softened[1], issues[1]);
    EXPECT_EQ(softened[2], issues[2]);
}
