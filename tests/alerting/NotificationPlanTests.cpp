#include "alerting/NotificationPlan.h"

#include <gtest/gtest.h>
#include <unicode/calendar.h>
#include <unicode/timezone.h>

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace quorvane {
namespace {

constexpr double hour = 3600;
const Date now = dateFromUnix(1'796'896'800); // 2026-12-10 10:00 UTC

Date ago(double seconds) {
    return addSeconds(now, -seconds);
}

std::unique_ptr<icu::Calendar> utcCalendar() {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(
        icu::Calendar::createInstance(icu::TimeZone::createTimeZone("UTC"), status));
    EXPECT_TRUE(U_SUCCESS(status));
    return calendar;
}

Issue issue(IssueKind kind, HealthLevel level, std::string destination, std::string title,
            std::optional<std::string> detail = std::nullopt,
            std::optional<std::string> check = std::nullopt) {
    return Issue{
        kind, std::move(destination), level, std::move(title), std::move(detail), std::move(check)};
}

const Issue failingNas = issue(IssueKind::failing, HealthLevel::amber, "NAS",
                               "Backups to Living-room NAS (network) are failing",
                               "2 attempts since 7 Dec didn't finish.");
const Issue overdueDisk =
    issue(IssueKind::overdue, HealthLevel::red, "D1", "No backup to Ann's Disk for 9 days");

const std::map<std::string, FailureReason> nasReason{
    {"NAS", FailureReason{"nas-timeout", "Your NAS didn't respond in time.",
                          "Is the NAS awake and on this network?", "line", ago(hour)}}};

DeliveryPlan deliver(const std::vector<Issue>& issues, const WatchPreferences& prefs,
                     const AlertState& state = {}, Date at = now,
                     const std::map<std::string, FailureReason>& reasons = {}) {
    return planDelivery(issues, reasons, prefs, state, at, *utcCalendar());
}

std::vector<std::string> identifiers(const std::vector<Outgoing>& messages) {
    std::vector<std::string> ids;
    for (const Outgoing& message : messages)
        ids.push_back(message.notification.identifier);
    return ids;
}

struct EligibilityCase {
    const char* name;
    Issue issue;
    bool alertable;

    friend void PrintTo(const EligibilityCase& c, std::ostream* os) { *os << c.name; }
};

class Eligibility : public ::testing::TestWithParam<EligibilityCase> {};

TEST_P(Eligibility, RedIssuesButAwayAndEveryFailingIssueAreAnnounced) {
    const auto& c = GetParam();
    EXPECT_EQ(isAlertable(c.issue), c.alertable);
    EXPECT_EQ(deliver({c.issue}, {}).messages.size(), c.alertable ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Notifications, Eligibility,
    ::testing::Values(
        EligibilityCase{"RedAway", issue(IssueKind::away, HealthLevel::red, "D1", "Away"), false},
        EligibilityCase{"AmberFailing", failingNas, true},
        EligibilityCase{"RedOverdue", overdueDisk, true},
        EligibilityCase{"AmberOverdue", issue(IssueKind::overdue, HealthLevel::amber, "D1", "Late"),
                        false},
        EligibilityCase{"RedTool", issue(IssueKind::tool, HealthLevel::red, "tool:Arq/-", "Arq"),
                        true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Notifications, SnoozeLastsUpToAndIncludingItsEnd) {
    WatchPreferences prefs;
    prefs.snoozedUntil[overdueDisk.id()] = now;
    EXPECT_TRUE(dueIssues({overdueDisk}, prefs, now).empty());
    EXPECT_EQ(dueIssues({overdueDisk}, prefs, addSeconds(now, 1)).size(), 1u);
    EXPECT_TRUE(deliver({overdueDisk}, prefs).messages.empty());
}

// One issue's notification: its identity, its words, and what is forwarded ahead of it.
TEST(Notifications, AnIssueIsPostedForwardedAndRemembered) {
    const DeliveryPlan plan = deliver({failingNas, overdueDisk}, {}, {}, now, nasReason);
    ASSERT_EQ(plan.messages.size(), 2u);
    const Outgoing& failing = plan.messages[0];
    EXPECT_EQ(failing.notification,
              (LocalNotification{"failing:NAS", failingNas.title,
                                 "2 attempts since 7 Dec didn't finish. Your NAS didn't respond in "
                                 "time.",
                                 NotificationSound::standard}));
    EXPECT_EQ(failing.forward,
              (OffMacMessage{failingNas.title, failing.notification.body, "Backups are failing",
                             std::string(offMacGenericBody), false}));
    EXPECT_TRUE(plan.messages[1].forward.urgent); // red
    EXPECT_EQ(plan.messages[1].forward.genericTitle, "Backups have stopped");
    EXPECT_EQ(plan.state.alerted,
              (std::map<std::string, Date>{{"failing:NAS", now}, {"overdue:D1", now}}));
    EXPECT_EQ(plan.state.alertedTitles.at("failing:NAS"), failingNas.title);
}

struct BodyCase {
    const char* name;
    std::optional<std::string> detail;
    bool reason;
    std::optional<std::string> check;
    std::string body;

    friend void PrintTo(const BodyCase& c, std::ostream* os) { *os << c.name; }
};

class AlertBodies : public ::testing::TestWithParam<BodyCase> {};

TEST_P(AlertBodies, JoinWhatIsPresentWithSingleSpaces) {
    const auto& c = GetParam();
    const Issue subject = issue(IssueKind::failing, HealthLevel::amber, c.reason ? "NAS" : "D1",
                                "T", c.detail, c.check);
    EXPECT_EQ(alertBody(subject, nasReason), c.body);
}

INSTANTIATE_TEST_SUITE_P(
    Notifications, AlertBodies,
    ::testing::Values(BodyCase{"All", "Detail.", true, "Check.",
                               "Detail. Your NAS didn't respond in time. Check."},
                      BodyCase{"NoDetail", std::nullopt, true, "Check.",
                               "Your NAS didn't respond in time. Check."},
                      BodyCase{"DetailOnly", "Detail.", false, std::nullopt, "Detail."},
                      BodyCase{"CheckOnly", std::nullopt, false, "Check.", "Check."},
                      BodyCase{"Nothing", std::nullopt, false, std::nullopt, ""}),
    [](const auto& info) { return std::string(info.param.name); });

struct RepeatCase {
    const char* name;
    int repeatHours;
    double announcedAgo;
    bool posted;

    friend void PrintTo(const RepeatCase& c, std::ostream* os) { *os << c.name; }
};

class Repeats : public ::testing::TestWithParam<RepeatCase> {};

TEST_P(Repeats, AnUnchangedProblemIsRepeatedOnlyAfterTheInterval) {
    const auto& c = GetParam();
    WatchPreferences prefs;
    prefs.repeatHours = c.repeatHours;
    AlertState state;
    state.alerted[overdueDisk.id()] = ago(c.announcedAgo);
    state.alertedTitles[overdueDisk.id()] = overdueDisk.title;
    const DeliveryPlan plan = deliver({overdueDisk}, prefs, state);
    EXPECT_EQ(plan.messages.size(), c.posted ? 1u : 0u);
    EXPECT_EQ(plan.state.alerted.at(overdueDisk.id()), c.posted ? now : ago(c.announcedAgo));
}

INSTANTIATE_TEST_SUITE_P(Notifications, Repeats,
                         ::testing::Values(RepeatCase{"NeverAfterAMonth", 0, 720 * hour, false},
                                           RepeatCase{"DailyAfterADay", 24, 24 * hour, true},
                                           RepeatCase{"DailyJustBefore", 24, 24 * hour - 1, false},
                                           RepeatCase{"Hourly", 1, hour, true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(Notifications, ResolvedProblemsAreAnnouncedFirstAndForgotten) {
    AlertState state;
    state.alerted = {{"failing:NAS", ago(hour)}, {"overdue:OLD", ago(hour)}};
    state.alertedTitles = {{"failing:NAS", failingNas.title}};
    const DeliveryPlan plan = deliver({overdueDisk}, {}, state);

    EXPECT_EQ(identifiers(plan.messages),
              (std::vector<std::string>{"fixed-failing:NAS", "fixed-overdue:OLD", "overdue:D1"}));
    const Outgoing& fixed = plan.messages[0];
    EXPECT_EQ(fixed.notification.title, "Backups are working again");
    EXPECT_EQ(fixed.notification.body, "This is resolved: " + failingNas.title + ".");
    EXPECT_EQ(fixed.forward,
              (OffMacMessage{"Backups are working again", fixed.notification.body,
                             "Backups are working again", std::string(offMacGenericBody), false}));
    EXPECT_EQ(plan.messages[1].notification.body, "This is resolved: a backup problem.");
    EXPECT_EQ(plan.state.alerted, (std::map<std::string, Date>{{"overdue:D1", now}}));
    EXPECT_EQ(plan.state.alertedTitles.size(), 1u);

    WatchPreferences silent;
    silent.notifyWhenFixed = false;
    const DeliveryPlan quietly = deliver({overdueDisk}, silent, state);
    EXPECT_EQ(identifiers(quietly.messages), (std::vector<std::string>{"overdue:D1"}));
    EXPECT_EQ(quietly.state, plan.state);
}

// Inside quiet hours nothing goes out and nothing is forgotten, so the first check afterwards
// still announces what cleared.
TEST(Notifications, QuietHoursPostNothingAndKeepEverything) {
    WatchPreferences prefs;
    prefs.quietFrom = 22;
    prefs.quietTo = 11; // now is 10:00 UTC
    AlertState state;
    state.alerted = {{"failing:NAS", ago(hour)}};
    const DeliveryPlan plan = deliver({overdueDisk}, prefs, state);
    EXPECT_TRUE(plan.messages.empty());
    EXPECT_EQ(plan.state, state);

    prefs.quietTo = 10; // the quiet hours end at 10:00
    EXPECT_EQ(identifiers(deliver({overdueDisk}, prefs, state).messages),
              (std::vector<std::string>{"fixed-failing:NAS", "overdue:D1"}));
}

TEST(Notifications, DigestCountsEveryDueIssueAndListsFour) {
    WatchPreferences prefs;
    prefs.dailyDigest = true;
    std::vector<Issue> issues;
    for (int i = 1; i <= 6; ++i)
        issues.push_back(issue(IssueKind::overdue, HealthLevel::red, "D" + std::to_string(i),
                               "Problem " + std::to_string(i)));
    AlertState state;
    state.alerted = {{"overdue:D1", ago(hour)}};
    const DeliveryPlan plan = deliver(issues, prefs, state);
    ASSERT_EQ(plan.messages.size(), 1u);
    const Outgoing& digest = plan.messages[0];
    EXPECT_EQ(digest.notification, (LocalNotification{"digest", "Quorvane Ombrel: 6 problems",
                                                      "Problem 1\nProblem 2\nProblem 3\nProblem 4",
                                                      NotificationSound::standard}));
    EXPECT_EQ(digest.forward.genericTitle, "Quorvane Ombrel: 6 problems");
    EXPECT_FALSE(digest.forward.urgent);
    EXPECT_EQ(plan.state.lastDigest, now);
    EXPECT_EQ(plan.state.alerted, state.alerted); // a digest announces no single issue

    EXPECT_EQ(deliver({issues[0]}, prefs).messages.at(0).notification.title,
              "Quorvane Ombrel: 1 problem");
    EXPECT_TRUE(deliver({}, prefs).messages.empty());
}

TEST(Notifications, DigestGoesOutAtMostEveryTwentyHours) {
    WatchPreferences prefs;
    prefs.dailyDigest = true;
    for (const auto& [hoursAgo, posts] : {std::pair{19.0, false}, std::pair{20.0, true}}) {
        AlertState state;
        state.lastDigest = ago(hoursAgo * hour);
        const DeliveryPlan plan = deliver({overdueDisk}, prefs, state);
        EXPECT_EQ(plan.messages.size(), posts ? 1u : 0u) << hoursAgo;
        EXPECT_EQ(plan.state.lastDigest, posts ? now : ago(hoursAgo * hour));
    }
}

TEST(Notifications, WeeklySummaryHasNoSoundAndAGenericBody) {
    const Outgoing weekly = summaryMessage("Your week", "All fine.");
    EXPECT_EQ(weekly.notification,
              (LocalNotification{"weekly", "Your week", "All fine.", NotificationSound::none}));
    EXPECT_EQ(weekly.forward,
              (OffMacMessage{"Your week", "All fine.", "Your week",
                             "Your weekly summary is ready. Open Quorvane Ombrel on your Mac for "
                             "the details.",
                             false}));
}

TEST(Notifications, AlertsOffDecideNothing) {
    HistoryRecord history;
    history.alerted = {{"failing:NAS", ago(hour)}};
    const HistoryRecord before = history;
    WatchPreferences prefs;
    prefs.weeklySummaryOn = true;
    EXPECT_TRUE(
        planAlerts({overdueDisk}, {}, prefs, std::nullopt, history, now, *utcCalendar()).empty());
    EXPECT_EQ(history, before);
}

TEST(Notifications, WeeklySummaryComesAWeekAfterTheLastOutsideQuietHours) {
    struct Case {
        const char* name;
        std::optional<double> lastAgo;
        bool quiet;
        bool posts;
    };
    for (const Case& c :
         {Case{"Never", std::nullopt, false, true}, Case{"SixDays", 6 * 24 * hour, false, false},
          Case{"SevenDays", 7 * 24 * hour, false, true},
          Case{"Quiet", 7 * 24 * hour, true, false}}) {
        WatchPreferences prefs;
        prefs.alertsOn = true;
        prefs.weeklySummaryOn = true;
        if (c.quiet) {
            prefs.quietFrom = 9;
            prefs.quietTo = 11;
        }
        HistoryRecord history;
        if (c.lastAgo)
            history.lastWeekly = ago(*c.lastAgo);
        const auto messages =
            planAlerts({overdueDisk}, {}, prefs, std::nullopt, history, now, *utcCalendar());
        const bool posted =
            !messages.empty() && messages.back().notification.identifier == "weekly";
        EXPECT_EQ(posted, c.posts) << c.name;
        EXPECT_EQ(history.lastWeekly == now, c.posts) << c.name;
        // Outside quiet hours the issue itself goes out first.
        EXPECT_EQ(!messages.empty() && messages.front().notification.identifier == "overdue:D1",
                  !c.quiet)
            << c.name;
    }
}

// A failing network disk is announced once with its reason, then announced as fixed when it
// recovers, and its entry is cleared.
TEST(Notifications, FailingDiskIsAnnouncedThenResolved) {
    WatchPreferences prefs;
    prefs.alertsOn = true;
    HistoryRecord history;
    const auto first =
        planAlerts({failingNas}, nasReason, prefs, std::nullopt, history, now, *utcCalendar());
    ASSERT_EQ(first.size(), 1u);
    EXPECT_NE(first[0].notification.body.find("Your NAS didn't respond in time."),
              std::string::npos);
    EXPECT_EQ(history.alertedTitles.at("failing:NAS"), failingNas.title);

    const auto again = planAlerts({failingNas}, nasReason, prefs, std::nullopt, history,
                                  addSeconds(now, 600), *utcCalendar());
    EXPECT_TRUE(again.empty());

    const auto fixed =
        planAlerts({}, {}, prefs, std::nullopt, history, addSeconds(now, 1200), *utcCalendar());
    ASSERT_EQ(fixed.size(), 1u);
    EXPECT_EQ(fixed[0].notification.title, "Backups are working again");
    EXPECT_EQ(fixed[0].notification.body, "This is resolved: " + failingNas.title + ".");
    EXPECT_TRUE(history.alerted.empty());
    EXPECT_TRUE(history.alertedTitles.empty());
}

} // namespace
} // namespace quorvane
