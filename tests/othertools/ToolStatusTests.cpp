#include "othertools/ToolStatus.h"

#include "timemachine/StatusText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

namespace quorvane {
namespace {

using Tool = ToolStatus::Tool;

const Date now = dateFromUnix(1'750'000'000); // June 2025
constexpr double day = 86400;

Date daysAgo(double days) {
    return addSeconds(now, -days * day);
}

// A status that completed recently and has nothing to report.
ToolStatus healthy(Tool tool, std::optional<std::string> name = std::nullopt) {
    return ToolStatus(tool, std::move(name), std::nullopt, daysAgo(1), daysAgo(1), false, false,
                      std::nullopt, std::nullopt, false, now);
}

TEST(ToolStatus, StoresOnlyPlausibleDates) {
    struct Case {
        const char* name;
        double seconds;
        bool kept;
    };
    const std::vector<Case> cases = {
        {"1 January 1990", 631'152'000, true},
        {"one second before 1990", 631'151'999, false},
        {"exactly one day ahead", unixSeconds(now) + day, true},
        {"more than one day ahead", unixSeconds(now) + day + 1, false},
        {"not a number", std::nan(""), false},
        {"infinite", std::numeric_limits<double>::infinity(), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ToolStatus status(Tool::arq, "Daily", std::nullopt, dateFromUnix(c.seconds),
                          dateFromUnix(c.seconds), false, false, std::nullopt, std::nullopt, false,
                          now);
        EXPECT_EQ(status.lastSuccess.has_value(), c.kept);
        EXPECT_EQ(status.lastAttempt.has_value(), c.kept);
    }
    ToolStatus fresh(Tool::vorta, "Home", "NAS", std::nullopt, std::nullopt, true, true, "Broke.",
                     7, true, now);
    EXPECT_FALSE(fresh.note);
    EXPECT_FALSE(fresh.destinationKind);
    EXPECT_FALSE(fresh.noBackupsSetUp);
}

TEST(ToolStatus, IdentityAndLabel) {
    EXPECT_EQ(healthy(Tool::arq).id(), "Arq/-");
    EXPECT_EQ(healthy(Tool::arq).label(), "Arq");
    EXPECT_EQ(healthy(Tool::arq, "Daily").id(), "Arq/Daily");
    EXPECT_EQ(healthy(Tool::ccc, "Photos to Archive").label(),
              "Carbon Copy Cloner: Photos to Archive");
    for (Tool tool : {Tool::arq, Tool::ccc, Tool::backblaze, Tool::vorta, Tool::superDuper,
                      Tool::duplicati, Tool::chronoSync})
        EXPECT_EQ(toolFromText(toText(tool)), tool);
    EXPECT_EQ(toText(Tool::superDuper), "SuperDuper!");
    EXPECT_EQ(toolFromText("arq"), std::nullopt);
}

Issue issue(std::string destinationID, HealthLevel level, std::string title,
            std::optional<std::string> detail = std::nullopt,
            std::optional<std::string> check = std::nullopt) {
    return Issue{IssueKind::tool,  std::move(destinationID), level,
                 std::move(title), std::move(detail),        std::move(check)};
}

struct IssueCase {
    const char* name;
    ToolStatus status;
    std::vector<Issue> expected;
};

TEST(ToolIssues, OneStatusAtATime) {
    auto with = [](ToolStatus status, auto change) {
        change(status);
        return status;
    };
    const std::string checked = "Checked " + shortDate(now, now) + ".";
    const std::vector<IssueCase> cases = {
        {"healthy", healthy(Tool::arq, "Daily"), {}},
        {"unreadable and failed: only the unreadable issue",
         ToolStatus(Tool::ccc, std::nullopt, std::nullopt, std::nullopt, daysAgo(9), true, false,
                    "Boom.", std::nullopt, true, now),
         {issue("tool:Carbon Copy Cloner/-", HealthLevel::unknown,
                "Carbon Copy Cloner is installed, but its status couldn't be read", checked,
                "Open Carbon Copy Cloner to see its status.")}},
        {"unreadable with a note",
         with(ToolStatus(Tool::ccc, std::nullopt, std::nullopt, std::nullopt, std::nullopt, false,
                         false, std::nullopt, std::nullopt, true, now),
              [](ToolStatus& s) { s.note = "Its helper is not running."; }),
         {issue("tool:Carbon Copy Cloner/-", HealthLevel::unknown,
                "Carbon Copy Cloner is installed, but its status couldn't be read",
                "Its helper is not running.", "Open Carbon Copy Cloner to see its status.")}},
        {"no backups set up",
         with(ToolStatus(Tool::duplicati, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                         false, false, std::nullopt, std::nullopt, false, now),
              [](ToolStatus& s) { s.noBackupsSetUp = true; }),
         {issue("tool:Duplicati/-", HealthLevel::green,
                "Duplicati is installed, with no backups set up", "Nothing to watch in it yet.")}},
        {"failed, never completed, with warnings: only the failure",
         ToolStatus(Tool::arq, "Daily", std::nullopt, std::nullopt, daysAgo(1), true, true,
                    "Arq reported: disk full.", std::nullopt, false, now),
         {issue("tool:Arq/Daily", HealthLevel::red, "Arq: Daily: the last backup failed",
                "Arq reported: disk full.", "Open Arq for the details.")}},
        {"failed with a reason that already says to open the application",
         ToolStatus(Tool::ccc, "Photos", std::nullopt, daysAgo(1), daysAgo(0.5), true, false,
                    "The task failed; open Carbon Copy Cloner to see it.", std::nullopt, false,
                    now),
         {issue("tool:Carbon Copy Cloner/Photos", HealthLevel::red,
                "Carbon Copy Cloner: Photos: the last backup failed",
                "The task failed; open Carbon Copy Cloner to see it.")}},
        {"failed without a reason",
         ToolStatus(Tool::vorta, "Home", std::nullopt, daysAgo(1), daysAgo(0.5), true, false,
                    std::nullopt, std::nullopt, false, now),
         {issue("tool:Vorta/Home", HealthLevel::red, "Vorta: Home: the last backup failed",
                std::nullopt, "Open Vorta for the details.")}},
        {"never completed",
         ToolStatus(Tool::chronoSync, "Mirror", std::nullopt, std::nullopt, std::nullopt, false,
                    false, std::nullopt, std::nullopt, false, now),
         {issue("tool:ChronoSync/Mirror", HealthLevel::amber,
                "ChronoSync: Mirror: no completed backup recorded")}},
        {"exactly at the threshold is not overdue",
         ToolStatus(Tool::superDuper, "Clone", std::nullopt, daysAgo(3), std::nullopt, false, false,
                    std::nullopt, std::nullopt, false, now),
         {}},
        {"one second past the threshold is overdue",
         ToolStatus(Tool::superDuper, "Clone", std::nullopt, addSeconds(daysAgo(3), -1),
                    std::nullopt, false, false, std::nullopt, 12, false, now),
         {issue("tool:SuperDuper!/Clone", HealthLevel::red,
                "SuperDuper!: Clone: no completed backup in 3 days",
                "Last completed backup: " + shortDate(addSeconds(daysAgo(3), -1), now) +
                    ". 12 files waiting.",
                "Open SuperDuper! to see why.")}},
        {"overdue Backblaze with one file waiting",
         ToolStatus(Tool::backblaze, std::nullopt, "Backblaze (cloud)", daysAgo(10), std::nullopt,
                    false, false, std::nullopt, 1, false, now),
         {issue("tool:Backblaze/-", HealthLevel::red, "Backblaze: no completed backup in 10 days",
                "Backblaze reports its last completed backup: " + shortDate(daysAgo(10), now) +
                    ". 1 file waiting.",
                "Open Backblaze to see why.")}},
        {"paused Backblaze",
         ToolStatus(Tool::backblaze, std::nullopt, std::nullopt, daysAgo(1), std::nullopt, false,
                    true, "paused until 30 Jun", std::nullopt, false, now),
         {issue("tool:Backblaze/-:warn", HealthLevel::amber, "Backblaze: paused until 30 Jun")}},
        {"warnings without a reason say nothing",
         ToolStatus(Tool::arq, "Daily", std::nullopt, daysAgo(1), std::nullopt, false, true,
                    std::nullopt, std::nullopt, false, now),
         {}},
        {"failed, overdue: failure first, then overdue",
         ToolStatus(Tool::duplicati, "Docs", std::nullopt, daysAgo(5), daysAgo(1), true, true,
                    "Disk full.", std::nullopt, false, now),
         {issue("tool:Duplicati/Docs", HealthLevel::red, "Duplicati: Docs: the last backup failed",
                "Disk full.", "Open Duplicati for the details."),
          issue("tool:Duplicati/Docs", HealthLevel::red,
                "Duplicati: Docs: no completed backup in 5 days",
                "Last completed backup: " + shortDate(daysAgo(5), now) + ".",
                "Open Duplicati to see why.")}},
        {"overdue with a warning: overdue first, then the warning",
         ToolStatus(Tool::vorta, "Home", std::nullopt, daysAgo(4), std::nullopt, false, true,
                    "Manual only.", std::nullopt, false, now),
         {issue("tool:Vorta/Home", HealthLevel::red, "Vorta: Home: no completed backup in 4 days",
                "Last completed backup: " + shortDate(daysAgo(4), now) + ".",
                "Open Vorta to see why."),
          issue("tool:Vorta/Home:warn", HealthLevel::amber, "Vorta: Home: Manual only.")}},
    };
    WatchPreferences prefs;
    prefs.overdueDays = 3;
    for (const IssueCase& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(toolIssues({c.status}, prefs, now), c.expected);
    }
}

TEST(ToolIssues, KeepsTheStatusesOrder) {
    WatchPreferences prefs;
    prefs.overdueDays = 7;
    ToolStatus never(Tool::arq, "B", std::nullopt, std::nullopt, std::nullopt, false, false,
                     std::nullopt, std::nullopt, false, now);
    ToolStatus old(Tool::arq, "A", std::nullopt, daysAgo(8), std::nullopt, false, false,
                   std::nullopt, std::nullopt, false, now);
    std::vector<Issue> issues = toolIssues({never, healthy(Tool::ccc), old}, prefs, now);
    ASSERT_EQ(issues.size(), 2u);
    EXPECT_EQ(issues[0].destinationID, "tool:Arq/B");
    EXPECT_EQ(issues[1].destinationID, "tool:Arq/A");
    EXPECT_TRUE(toolIssues({}, prefs, now).empty());
}

HistoryEvent event(Date date, HistoryEvent::Kind kind, std::string source, std::string text) {
    return HistoryEvent{
        date, kind, std::move(source), std::nullopt, std::nullopt, std::move(text), std::nullopt};
}

TEST(RecordToolEvents, AddsEachRunOnceInDateOrder) {
    HistoryRecord history;
    history.events = {event(daysAgo(3), HistoryEvent::Kind::completed, "Time Machine", "TM"),
                      event(daysAgo(1), HistoryEvent::Kind::completed, "Time Machine", "TM")};
    const std::vector<ToolStatus> statuses = {
        ToolStatus(Tool::arq, "Daily", std::nullopt, daysAgo(2), daysAgo(0.5), true, false,
                   std::nullopt, std::nullopt, false, now),
        ToolStatus(Tool::vorta, std::nullopt, std::nullopt, daysAgo(4), daysAgo(3), true, false,
                   "Repository locked.", std::nullopt, false, now),
        ToolStatus(Tool::ccc, "Unread", std::nullopt, daysAgo(2), daysAgo(2), true, false,
                   std::nullopt, std::nullopt, true, now),
        ToolStatus(Tool::duplicati, "NoAttempt", std::nullopt, std::nullopt, std::nullopt, true,
                   false, std::nullopt, std::nullopt, false, now),
    };
    recordToolEvents(statuses, history);
    const HistoryRecord once = history;
    recordToolEvents(statuses, history);
    EXPECT_EQ(history, once);

    const std::vector<HistoryEvent> expected = {
        {daysAgo(4), HistoryEvent::Kind::completed, "Vorta", "tool:Vorta/-", "Vorta",
         "Backup completed", std::nullopt},
        {daysAgo(3), HistoryEvent::Kind::completed, "Time Machine", std::nullopt, std::nullopt,
         "TM", std::nullopt},
        // Same date: the existing event keeps its place before the new one.
        {daysAgo(3), HistoryEvent::Kind::failed, "Vorta", "tool:Vorta/-", "Vorta",
         "Repository locked.", std::nullopt},
        {daysAgo(2), HistoryEvent::Kind::completed, "Arq", "tool:Arq/Daily", "Arq: Daily",
         "Backup completed", std::nullopt},
        {daysAgo(1), HistoryEvent::Kind::completed, "Time Machine", std::nullopt, std::nullopt,
         "TM", std::nullopt},
        {daysAgo(0.5), HistoryEvent::Kind::failed, "Arq", "tool:Arq/Daily", "Arq: Daily",
         "Backup failed", std::nullopt},
    };
    EXPECT_EQ(history.events, expected);
}

TEST(RecordToolEvents, KeepsTheNewestWithinTheCap) {
    HistoryRecord history;
    for (std::size_t i = 0; i < historyCap; ++i)
        history.events.push_back(event(daysAgo(100 - static_cast<double>(i) / 100),
                                       HistoryEvent::Kind::completed, "Time Machine", "TM"));
    const Date oldest = history.events.front().date;
    const Date second = history.events[1].date;
    recordToolEvents({healthy(Tool::backblaze)}, history);
    ASSERT_EQ(history.events.size(), historyCap);
    EXPECT_NE(history.events.front().date, oldest);
    EXPECT_EQ(history.events.front().date, second);
    EXPECT_EQ(history.events.back().source, "Backblaze");

    // Nothing to add: still sorted and capped.
    HistoryRecord empty;
    recordToolEvents({}, empty);
    EXPECT_TRUE(empty.events.empty());
}

} // namespace
} // namespace quorvane
