#include "checks/RestoreTest.h"
#include "cycle/ApplyCheck.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace quorvane {
namespace {

constexpr double hour = 3600;
constexpr double day = 86400;
const Date now = dateFromUnix(1'796'904'000); // 2026-12-10 12:00 UTC

Date ago(double seconds) {
    return addSeconds(now, -seconds);
}

const std::string nasTimeoutLine = "NAConnectToServerSync failed with error: 60 for url smb://nas";
const std::string lockedLine = "Backup failed: BACKUP_FAILED_DEVICE_LOCKED";

BackupDestination localDisk(std::vector<Date> completed, std::vector<Date> attempts = {}) {
    BackupDestination d;
    d.id = "LOCAL";
    d.name = "Ann's Disk";
    d.kind = BackupDestination::Kind::local;
    d.completed = std::move(completed);
    d.attempts = std::move(attempts);
    return d;
}

BackupDestination networkDisk(std::vector<Date> completed, std::vector<Date> attempts = {}) {
    BackupDestination d;
    d.id = "NAS";
    d.name = "Living-room NAS";
    d.kind = BackupDestination::Kind::network;
    d.networkURL = "smb://nas.local/Backups";
    d.completed = std::move(completed);
    d.attempts = std::move(attempts);
    return d;
}

CheckReading readingOf(std::vector<BackupDestination> destinations,
                       std::vector<LogEntry> log = {}) {
    TimeMachineSettings settings;
    settings.automaticBackups = true;
    settings.destinations = std::move(destinations);
    CheckReading reading;
    reading.reading = SettingsReading::read(std::move(settings));
    reading.log = LogReading::lines(std::move(log));
    reading.os = OSVersion{"15.1", "24B83"};
    return reading;
}

const Mac nowhere{"/nonexistent-quorvane-root", "/Users/ann"};

CheckOutcome apply(const CheckReading& reading, const HistoryRecord& history = {},
                   const WatchPreferences& prefs = {}, bool blocked = false) {
    return applyCheck(reading, prefs, history, blocked, nowhere, now);
}

const Issue* find(const std::vector<Issue>& issues, IssueKind kind,
                  std::optional<std::string> destination = std::nullopt) {
    const auto it = std::find_if(issues.begin(), issues.end(), [&](const Issue& issue) {
        return issue.kind == kind && (!destination || issue.destinationID == destination);
    });
    return it == issues.end() ? nullptr : &*it;
}

std::vector<const HistoryEvent*> failedEvents(const HistoryRecord& history) {
    std::vector<const HistoryEvent*> failed;
    for (const HistoryEvent& event : history.events)
        if (event.kind == HistoryEvent::Kind::failed)
            failed.push_back(&event);
    return failed;
}

// A network disk that stopped answering: two attempts after the last snapshot, each logged with
// the time-out error, becomes one failing issue explained by the NAS reason.
TEST(ApplyCheck, NetworkDiskThatStoppedAnsweringIsFailingWithTheNasReason) {
    const auto reading =
        readingOf({networkDisk({ago(3 * day)}, {ago(3 * day), ago(5 * hour), ago(4 * hour)})},
                  {{nasTimeoutLine, ago(5 * hour)}, {nasTimeoutLine, ago(4 * hour)}});
    const CheckOutcome outcome = apply(reading);

    const Issue* failing = find(outcome.issues, IssueKind::failing, "NAS");
    ASSERT_NE(failing, nullptr);
    EXPECT_EQ(failing->title, "Backups to Living-room NAS (network) are failing");
    EXPECT_EQ(failing->level, HealthLevel::amber);
    ASSERT_TRUE(outcome.reasons);
    ASSERT_TRUE(outcome.reasons->contains("NAS"));
    EXPECT_EQ(outcome.reasons->at("NAS").key, "nas-timeout");
    EXPECT_EQ(outcome.logAllowed, true);
    EXPECT_EQ(outcome.history.logReadUpTo, now);

    const auto failed = failedEvents(outcome.history);
    ASSERT_EQ(failed.size(), 2u);
    for (const HistoryEvent* event : failed)
        EXPECT_EQ(event->text, "Your NAS didn't respond in time.");

    // A later check sees a new snapshot: the problem is gone and so is its reason. The snapshot
    // comes more than three hours after the failed attempts, so they stay failures.
    auto later = readingOf(
        {networkDisk({ago(3 * day), ago(10 * 60)}, {ago(3 * day), ago(5 * hour), ago(4 * hour)})});
    const CheckOutcome fixed = applyCheck(later, {}, outcome.history, false, nowhere, now);
    EXPECT_EQ(find(fixed.issues, IssueKind::failing), nullptr);
    EXPECT_TRUE(fixed.reasons && fixed.reasons->empty());
    // Nothing the first check recorded is lost.
    EXPECT_EQ(failedEvents(fixed.history).size(), 2u);
}

struct ReasonCase {
    const char* name;
    std::vector<LogEntry> log;
    std::optional<std::int64_t> localResultCode;
    std::optional<std::string> localKey; // expected reason of the failing local disk
    std::optional<std::string> nasKey;   // expected reason of the failing network disk

    friend void PrintTo(const ReasonCase& c, std::ostream* os) { *os << c.name; }
};

class DestinationReasons : public ::testing::TestWithParam<ReasonCase> {};

// The log's NAS reasons explain network disks only; a local disk takes the latest other reason
// or its result code's.
TEST_P(DestinationReasons, EachDestinationGetsAReasonThatFitsIt) {
    const ReasonCase& c = GetParam();
    auto local = localDisk({ago(3 * day)}, {ago(2 * hour), ago(hour)});
    local.resultCode = c.localResultCode;
    const auto reading =
        readingOf({local, networkDisk({ago(3 * day)}, {ago(2 * hour), ago(hour)})}, c.log);
    const CheckOutcome outcome = apply(reading);
    ASSERT_TRUE(outcome.reasons);
    const auto key = [&](const std::string& id) -> std::optional<std::string> {
        const auto found = outcome.reasons->find(id);
        return found == outcome.reasons->end() ? std::nullopt : std::optional(found->second.key);
    };
    EXPECT_EQ(key("LOCAL"), c.localKey);
    EXPECT_EQ(key("NAS"), c.nasKey);
}

INSTANTIATE_TEST_SUITE_P(
    ApplyCheck, DestinationReasons,
    ::testing::Values(ReasonCase{"OnlyNasReason",
                                 {{nasTimeoutLine, ago(hour)}},
                                 std::nullopt,
                                 std::nullopt,
                                 "nas-timeout"},
                      ReasonCase{"OnlyNasReasonLocalHasResultCode",
                                 {{nasTimeoutLine, ago(hour)}},
                                 19,
                                 "result-19",
                                 "nas-timeout"},
                      ReasonCase{"LocalTakesEarlierOtherReason",
                                 {{lockedLine, ago(2 * hour)}, {nasTimeoutLine, ago(hour)}},
                                 std::nullopt,
                                 "locked",
                                 "nas-timeout"},
                      ReasonCase{"NetworkTakesLatestWhateverItIs",
                                 {{nasTimeoutLine, ago(2 * hour)}, {lockedLine, ago(hour)}},
                                 std::nullopt,
                                 "locked",
                                 "locked"},
                      ReasonCase{"FailedNotificationExplainsNothing",
                                 {{lockedLine, ago(2 * hour)},
                                  {"DeliverNotification: connection invalid", ago(hour)}},
                                 std::nullopt,
                                 "locked",
                                 "locked"},
                      ReasonCase{"NoLogNoCode", {}, std::nullopt, std::nullopt, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ApplyCheck, HealthyDestinationsGetNoReason) {
    const auto reading =
        readingOf({localDisk({ago(hour)}, {ago(hour)})}, {{lockedLine, ago(hour)}});
    const CheckOutcome outcome = apply(reading);
    ASSERT_TRUE(outcome.reasons);
    EXPECT_TRUE(outcome.reasons->empty());
}

// The next check reads the log from where this one began reading, so entries logged while it
// read are not skipped.
TEST(ApplyCheck, LogIsReadOnFromWhereTheReadingBegan) {
    auto reading = readingOf({localDisk({ago(hour)})});
    reading.readAt = ago(40);
    EXPECT_EQ(apply(reading).history.logReadUpTo, ago(40));
    reading.readAt = addSeconds(now, 60); // a clock that went back meanwhile
    EXPECT_EQ(apply(reading).history.logReadUpTo, now);
}

struct LogCase {
    const char* name;
    std::optional<LogReading> log;
    std::optional<bool> logAllowed;
    bool advancesReadUpTo;
    std::string failedText;

    friend void PrintTo(const LogCase& c, std::ostream* os) { *os << c.name; }
};

class LogOutcomes : public ::testing::TestWithParam<LogCase> {};

TEST_P(LogOutcomes, SetLogAllowedAndTheWindow) {
    const LogCase& c = GetParam();
    auto reading = readingOf({localDisk({ago(3 * day)}, {ago(2 * hour), ago(hour)})});
    reading.log = c.log;
    HistoryRecord history;
    history.logReadUpTo = ago(day);
    const CheckOutcome outcome = apply(reading, history);
    EXPECT_EQ(outcome.logAllowed, c.logAllowed);
    EXPECT_EQ(outcome.history.logReadUpTo, c.advancesReadUpTo ? now : ago(day));
    const auto failed = failedEvents(outcome.history);
    ASSERT_EQ(failed.size(), 2u);
    EXPECT_EQ(failed.back()->text, c.failedText);
}

INSTANTIATE_TEST_SUITE_P(
    ApplyCheck, LogOutcomes,
    ::testing::Values(
        LogCase{"Lines", LogReading::lines({{lockedLine, ago(hour)}}), true, true,
                "The backup was skipped because your Mac was locked."},
        LogCase{"NotAllowed", LogReading::notAllowed(), false, false, "Attempt didn't finish"},
        LogCase{"Failed", LogReading::failed("timed out"), std::nullopt, false,
                "Attempt didn't finish"},
        LogCase{"NotRead", std::nullopt, std::nullopt, false, "Attempt didn't finish"}),
    [](const auto& info) { return std::string(info.param.name); });

// Without settings nothing is observed, the previous reasons stay, and the issues still come.
TEST(ApplyCheck, UnreadableSettingsRecordNothingAndKeepTheReasons) {
    CheckReading reading;
    reading.reading = SettingsReading::unreadable();
    reading.log = LogReading::lines({{lockedLine, ago(hour)}});
    reading.tools.push_back(ToolStatus(ToolStatus::Tool::arq, "Daily", std::nullopt, std::nullopt,
                                       ago(hour), true, false, "It failed.", std::nullopt, false,
                                       now));
    HistoryRecord history;
    history.observations["LOCAL"] = PreviousObservation{ago(day), 3, ago(hour), 1};
    const CheckOutcome outcome = apply(reading, history);

    EXPECT_FALSE(outcome.reasons);
    EXPECT_TRUE(outcome.history.events.empty());
    EXPECT_EQ(outcome.history.observations, history.observations);
    ASSERT_FALSE(outcome.issues.empty());
    EXPECT_EQ(outcome.issues.front().kind, IssueKind::tool); // tool issues rank before Mac-wide
    EXPECT_NE(find(outcome.issues, IssueKind::unknown), nullptr);
}

// The health rules compare with the previous check, not with the observation this check records.
TEST(ApplyCheck, HistoryThatShrankSinceTheLastCheckIsReported) {
    HistoryRecord history;
    history.observations["LOCAL"] = PreviousObservation{ago(20 * day), 12, ago(hour), 20};
    std::vector<Date> completed;
    for (int i = 5; i > 0; --i)
        completed.push_back(ago(i * hour));
    const CheckOutcome outcome = apply(readingOf({localDisk(completed)}), history);
    EXPECT_NE(find(outcome.issues, IssueKind::historyShrank, "LOCAL"), nullptr);
    EXPECT_EQ(outcome.history.observations.at("LOCAL").count, 5);
}

// A newly excluded folder is reported for a week and no longer once it is included again.
TEST(ApplyCheck, NewExclusionIsReportedForAWeek) {
    auto reading = readingOf({localDisk({ago(hour)})});
    reading.reading.settings->excludedPaths = {"/Users/ann/Downloads"};
    HistoryRecord history = apply(reading).history; // the first check only learns the list
    const auto unchanged = apply(reading, history);
    EXPECT_EQ(find(unchanged.issues, IssueKind::exclusionsChanged), nullptr);

    reading.reading.settings->excludedPaths = {"/Users/ann/Downloads", "/Users/ann/Projects"};
    history = apply(reading, history).history;
    for (const double later : {0.0, 6 * day}) {
        const auto outcome =
            applyCheck(reading, {}, history, false, nowhere, addSeconds(now, later));
        const Issue* issue = find(outcome.issues, IssueKind::exclusionsChanged);
        ASSERT_NE(issue, nullptr) << later;
        EXPECT_EQ(issue->destinationID, "excl:/Users/ann/Projects");
    }
    const auto weekLater =
        applyCheck(reading, {}, history, false, nowhere, addSeconds(now, 7 * day));
    EXPECT_EQ(find(weekLater.issues, IssueKind::exclusionsChanged), nullptr);
    EXPECT_TRUE(weekLater.history.newExclusions.empty());

    reading.reading.settings->excludedPaths = {"/Users/ann/Downloads"};
    const auto removed = apply(reading, history);
    EXPECT_EQ(find(removed.issues, IssueKind::exclusionsChanged), nullptr);
    EXPECT_TRUE(removed.history.newExclusions.empty());
}

TEST(ApplyCheck, OwnFoldersExcludedUnlessOnPurpose) {
    auto reading = readingOf({localDisk({ago(hour)})});
    reading.reading.settings->excludedPaths = {"/Users/ann/Documents"};
    const auto shown = apply(reading);
    const Issue* own = find(shown.issues, IssueKind::ownFoldersExcluded);
    ASSERT_NE(own, nullptr);

    WatchPreferences prefs;
    prefs.onPurpose = std::vector<std::string>{own->id()};
    const auto onPurpose = apply(reading, {}, prefs);
    EXPECT_EQ(find(onPurpose.issues, IssueKind::ownFoldersExcluded), nullptr);
}

TEST(ApplyCheck, BlockedNotificationsShowOnlyWhileAlertsAreOn) {
    const auto reading = readingOf({localDisk({ago(hour)})});
    WatchPreferences prefs;
    for (const bool alertsOn : {false, true})
        for (const bool blocked : {false, true}) {
            prefs.alertsOn = alertsOn;
            const auto outcome = apply(reading, {}, prefs, blocked);
            const Issue* issue = find(outcome.issues, IssueKind::notificationsBlocked);
            if (alertsOn && blocked) {
                ASSERT_NE(issue, nullptr);
                EXPECT_EQ(*issue, notificationsBlockedIssue());
                EXPECT_EQ(issue->level, HealthLevel::amber);
            } else {
                EXPECT_EQ(issue, nullptr) << alertsOn << blocked;
            }
        }
}

ToolStatus backblaze(bool unreadable) {
    return ToolStatus(ToolStatus::Tool::backblaze, std::nullopt, std::nullopt, ago(hour), ago(hour),
                      false, false, std::nullopt, std::nullopt, unreadable, now);
}

// Backblaze skips cloud-storage folders; only a Backblaze that is really in use says so.
TEST(ApplyCheck, CloudFolderIssueOnlyWithABackblazeInUse) {
    auto reading = readingOf({localDisk({ago(hour)})});
    reading.cloudStorageNames = {"Dropbox", "GoogleDrive-ann@example.com"};
    reading.tools = {backblaze(false)};
    const auto shown = apply(reading);
    ASSERT_FALSE(shown.issues.empty());
    EXPECT_EQ(shown.issues.back().destinationID, "tool:Backblaze/cloud");

    reading.tools = {backblaze(true)};
    const auto unreadable = apply(reading);
    EXPECT_TRUE(std::none_of(unreadable.issues.begin(), unreadable.issues.end(),
                             [](auto& i) { return i.destinationID == "tool:Backblaze/cloud"; }));
}

TEST(ApplyCheck, RecordsTheRunPhaseAndTheMacosVersion) {
    auto reading = readingOf({localDisk({ago(hour)})});
    reading.run = BackupRunState{true, "Copying", 0.5, "LOCAL"};
    const auto outcome = apply(reading);
    EXPECT_EQ(outcome.history.phase, "Copying");
    EXPECT_EQ(outcome.history.phaseSince, now);
    ASSERT_TRUE(outcome.history.changes);
    EXPECT_EQ(outcome.history.changes->osBuild, "24B83");
    EXPECT_EQ(outcome.history.changes->lastCheck, now);
}

// A restore test waiting for a backup moves on once one completes after it started.
TEST(ApplyCheck, AdvancesTheRestoreTest) {
    testing::TempMac mac;
    std::error_code error;
    auto test = startRestoreTest(mac.mac(), std::nullopt, ago(hour), error);
    ASSERT_TRUE(test) << error.message();
    HistoryRecord history;
    history.restoreTest = test;
    const auto reading = readingOf({localDisk({ago(10 * 60)})});
    const auto outcome = applyCheck(reading, {}, history, false, mac.mac(), now);
    ASSERT_TRUE(outcome.history.restoreTest);
    EXPECT_EQ(outcome.history.restoreTest->phase, RestoreTestState::Phase::readyToRestore);
}

} // namespace
} // namespace quorvane
