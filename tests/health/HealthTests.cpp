#include "health/Health.h"

#include "timemachine/StatusText.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace quorvane {
namespace {

// 2025-06-15 12:00:00 UTC, a Sunday afternoon in Berlin.
const Date now = dateFromUnix(1749988800.0);
constexpr double hour = 3600.0;
constexpr double day = 86400.0;

Date ago(double seconds) {
    return addSeconds(now, -seconds);
}

BackupDestination disk(std::string id = "D1", std::optional<std::string> name = "Backup") {
    BackupDestination d;
    d.id = std::move(id);
    d.name = std::move(name);
    d.kind = BackupDestination::Kind::local;
    return d;
}

// A disk that completed a backup an hour ago, so no rule fires unless a test adds something.
BackupDestination healthyDisk(std::string id = "D1", std::optional<std::string> name = "Backup") {
    BackupDestination d = disk(std::move(id), std::move(name));
    d.completed = {ago(hour)};
    return d;
}

TimeMachineSettings settingsWith(std::vector<BackupDestination> destinations) {
    TimeMachineSettings settings;
    settings.automaticBackups = true;
    settings.destinations = std::move(destinations);
    return settings;
}

struct Inputs {
    explicit Inputs(TimeMachineSettings s) : settings(std::move(s)) {}

    TimeMachineSettings settings;
    std::optional<BackupRunState> run;
    std::optional<Date> phaseSince;
    std::map<std::string, PreviousObservation> previous;
    std::set<std::string> unreachable;
    WatchPreferences prefs;
};

std::vector<Issue> evaluate(const Inputs& in) {
    return evaluateHealth(in.settings, in.run, in.phaseSince, in.previous, in.unreachable, in.prefs,
                          now);
}

std::vector<Issue> evaluate(const TimeMachineSettings& settings,
                            const WatchPreferences& prefs = {}) {
    return evaluateHealth(settings, std::nullopt, std::nullopt, {}, {}, prefs, now);
}

std::vector<std::string> ids(const std::vector<Issue>& issues) {
    std::vector<std::string> result;
    for (const Issue& issue : issues)
        result.push_back(issue.id());
    return result;
}

using Ids = std::vector<std::string>;

TEST(EvaluateHealth, NoDestinationsGiveNoIssuesEvenWithAutomaticBackupsOff) {
    TimeMachineSettings settings;
    settings.automaticBackups = false;
    EXPECT_TRUE(evaluate(settings).empty());
}

TEST(EvaluateHealth, AutomaticBackupsOffComesLastAfterDestinationIssues) {
    BackupDestination d = disk();
    d.attempts = {ago(2 * hour)};
    TimeMachineSettings settings = settingsWith({d});
    settings.automaticBackups = false;
    auto issues = evaluate(settings);
    ASSERT_EQ(ids(issues), (Ids{"noCompleted:D1", "autoBackupOff:-"}));
    EXPECT_EQ(issues[1],
              (Issue{IssueKind::autoBackupOff, std::nullopt, HealthLevel::amber,
                     "Automatic backups are off", "Time Machine only backs up when you start it.",
                     "If that's not what you want, open System Settings, General, Time Machine, "
                     "click Options… and set Backup Frequency to Automatically Every Hour, Day or "
                     "Week."}));

    // Absent means the preferences do not say: not off.
    settings.automaticBackups.reset();
    EXPECT_EQ(ids(evaluate(settings)), (Ids{"noCompleted:D1"}));
}

TEST(EvaluateHealth, NeverCompletedCountsAttemptsAndRaisesNoFailingIssue) {
    BackupDestination d = disk();
    d.attempts = {ago(3 * hour), ago(2 * hour), ago(hour)};
    auto issues = evaluate(settingsWith({d}));
    ASSERT_EQ(ids(issues), (Ids{"noCompleted:D1"}));
    EXPECT_EQ(issues[0], (Issue{IssueKind::noCompleted, "D1", HealthLevel::red,
                                "Backup has never finished a backup",
                                "3 attempts so far; none finished. Nothing on this Mac can be "
                                "recovered from this disk yet.",
                                std::nullopt}));

    d.attempts.clear();
    issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].detail, "Time Machine hasn't tried yet. Nothing on this Mac can be "
                                "recovered from this disk yet.");
}

struct LatenessCase {
    const char* name;
    std::optional<double> interval;
    std::optional<bool> automatic;
    int overdueDays;
    double sinceLast;
    std::optional<HealthLevel> expected; // level of the overdue issue, or none
};

void PrintTo(const LatenessCase& c, std::ostream* os) {
    *os << c.name;
}

class Lateness : public testing::TestWithParam<LatenessCase> {};

TEST_P(Lateness, RaisesRedOverduePastThresholdAndAmberWhenOnlyLate) {
    const LatenessCase& c = GetParam();
    BackupDestination d = disk();
    d.completed = {ago(c.sinceLast)};
    TimeMachineSettings settings = settingsWith({d});
    settings.interval = c.interval;
    settings.automaticBackups = c.automatic;
    WatchPreferences prefs;
    prefs.overdueDays = c.overdueDays;
    std::vector<Issue> overdue;
    for (const Issue& issue : evaluate(settings, prefs))
        if (issue.kind == IssueKind::overdue)
            overdue.push_back(issue);
    if (!c.expected) {
        EXPECT_TRUE(overdue.empty());
        return;
    }
    ASSERT_EQ(overdue.size(), 1u);
    EXPECT_EQ(overdue[0].level, *c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Lateness,
    testing::Values(
        LatenessCase{"ExactlyThresholdIsOnlyLate", std::nullopt, true, 3, 3 * day,
                     HealthLevel::amber},
        LatenessCase{"OneSecondPastThresholdIsOverdue", std::nullopt, true, 3, 3 * day + 1,
                     HealthLevel::red},
        LatenessCase{"OverdueEvenWithAutomaticBackupsOff", std::nullopt, false, 3, 4 * day,
                     HealthLevel::red},
        LatenessCase{"HourlyIntervalLateAfterADay", 3600.0, true, 3, 25 * hour, HealthLevel::amber},
        LatenessCase{"NotLateWhileAutomaticBackupsAreOff", 3600.0, false, 3, 25 * hour,
                     std::nullopt},
        LatenessCase{"NotLateWithinADay", 3600.0, true, 3, 23 * hour, std::nullopt},
        LatenessCase{"TwoDayIntervalNotLateAtFiveDays", 2 * day, true, 7, 5 * day, std::nullopt},
        LatenessCase{"TwoDayIntervalLateAtSixAndAHalfDays", 2 * day, true, 7, 6.5 * day,
                     HealthLevel::amber},
        LatenessCase{"TwoDayIntervalOverdueAtEightDays", 2 * day, true, 7, 8 * day,
                     HealthLevel::red}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(EvaluateHealth, OverdueAndLateTexts) {
    BackupDestination d = disk();
    const Date last = ago(5 * day);
    d.completed = {last};
    auto issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0], (Issue{IssueKind::overdue, "D1", HealthLevel::red,
                                "No completed backup to Backup since " + dayMonth(last, now),
                                "Last completed " + shortDate(last, now) +
                                    ". Changes made in the past 5 days may not be recoverable "
                                    "from this backup. Checked " +
                                    shortDate(now, now) + ".",
                                "Is the backup disk connected?"}));

    d.kind = BackupDestination::Kind::network;
    d.name = "NAS";
    issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].title, "No completed backup to NAS (network) since " + dayMonth(last, now));
    EXPECT_EQ(issues[0].check, "Is the NAS on, awake and on the same network as this Mac?");

    d.completed = {ago(30 * hour)};
    issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(
        issues[0],
        (Issue{IssueKind::overdue, "D1", HealthLevel::amber, "Backups to NAS (network) are late",
               "Last completed " + relativeDays(ago(30 * hour), now) + ".", std::nullopt}));
}

TEST(EvaluateHealth, FailingIsAmberAtTwoAttemptsAndRedFromThree) {
    BackupDestination d = disk();
    const Date last = ago(10 * hour);
    d.completed = {last};
    d.attempts = {last, ago(3 * hour), ago(2 * hour)};
    auto issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(
        issues[0],
        (Issue{IssueKind::failing, "D1", HealthLevel::amber, "Backups to Backup are failing",
               "2 attempts since " + shortDate(last, now) + " didn't finish.", std::nullopt}));

    d.attempts.push_back(ago(hour));
    issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].level, HealthLevel::red);
    EXPECT_EQ(issues[0].detail, "3 attempts since " + shortDate(last, now) + " didn't finish.");

    // One attempt after the last completion is not yet a pattern.
    d.attempts = {ago(hour)};
    EXPECT_TRUE(evaluate(settingsWith({d})).empty());
}

TEST(EvaluateHealth, AwaySilencesOnlyTheMissingBackupRules) {
    BackupDestination failing = disk("D1", "Travel");
    failing.completed = {ago(10 * day)};
    failing.attempts = {ago(3 * hour), ago(2 * hour), ago(hour)};
    failing.bytesUsed = 95;
    failing.bytesAvailable = 5;
    BackupDestination never = disk("D2", "Spare");
    Inputs in{settingsWith({failing, never})};
    const Date until = addSeconds(now, 3 * day);
    in.prefs.awayUntil = {{"D1", until}, {"D2", until}};

    auto issues = evaluate(in);
    EXPECT_EQ(ids(issues), (Ids{"away:D1", "nearlyFull:D1", "away:D2"}));
    EXPECT_EQ(
        issues[0],
        (Issue{IssueKind::away, "D1", HealthLevel::amber, "Travel: paused, away on purpose",
               "No alerts for this disk until " + shortDate(until, now) + ".", std::nullopt}));

    // An away date that has passed, or is exactly now, silences nothing.
    for (Date passed : {ago(1), now}) {
        in.prefs.awayUntil = {{"D1", passed}, {"D2", passed}};
        EXPECT_EQ(ids(evaluate(in)),
                  (Ids{"overdue:D1", "failing:D1", "nearlyFull:D1", "noCompleted:D2"}));
    }
}

TEST(EvaluateHealth, StuckNamesThePhaseAndWholeHours) {
    BackupDestination d = healthyDisk();
    Inputs in{settingsWith({d})};
    in.run = BackupRunState{true, "Copying", 0.4, "D1"};
    in.phaseSince = ago(7 * hour + 59 * 60);

    auto issues = evaluate(in);
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0],
              (Issue{IssueKind::stuck, "D1", HealthLevel::amber,
                     "Time Machine has been copying for 7 hours",
                     "Last completed backup to Backup: " + shortDate(ago(hour), now) + ".",
                     "A first backup can take many hours. If it isn't the first, check "
                     "the disk is connected and awake."}));

    // Without a completed backup there is nothing to point to.
    in.settings.destinations[0].completed.clear();
    issues = evaluate(in);
    ASSERT_EQ(ids(issues), (Ids{"noCompleted:D1", "stuck:D1"}));
    EXPECT_EQ(issues[1].detail, std::nullopt);
}

TEST(EvaluateHealth, StuckNeedsARunningBackupInOnePhaseTooLong) {
    Inputs in{settingsWith({healthyDisk("D1"), healthyDisk("D2", "Other")})};
    in.phaseSince = ago(7 * hour);

    in.run = BackupRunState{true, "Copying", std::nullopt, std::nullopt};
    EXPECT_EQ(ids(evaluate(in)), (Ids{"stuck:D1", "stuck:D2"})) << "no destination: every one";

    in.run->destinationID = "D2";
    EXPECT_EQ(ids(evaluate(in)), (Ids{"stuck:D2"}));

    in.run->running = false;
    EXPECT_TRUE(evaluate(in).empty());

    in.run->running = true;
    in.phaseSince = ago(6 * hour);
    EXPECT_TRUE(evaluate(in).empty()) << "exactly the limit is not stuck";

    in.phaseSince.reset();
    EXPECT_TRUE(evaluate(in).empty());

    in.phaseSince = addSeconds(now, 10 * hour);
    EXPECT_TRUE(evaluate(in).empty()) << "a phase start in the future";
}

TEST(PhaseWords, PlainWordsForPhases) {
    const std::vector<std::pair<std::optional<std::string>, std::string>> cases{
        {"Copying", "copying"},
        {"ThinningPreBackup", "preparing"},
        {"ThinningPostBackup", "preparing"},
        {"Starting", "preparing"},
        {"PreparingSourceVolumes", "preparing"},
        {"Finishing", "finishing"},
        {"Mounting", "busy (Mounting)"},
        {"", "busy"},
        {std::nullopt, "busy"},
    };
    for (const auto& [phase, words] : cases)
        EXPECT_EQ(phaseWords(phase), words) << phase.value_or("(absent)");
}

TEST(EvaluateHealth, HistoryShrankWhenOldestMovesOrCountHalves) {
    BackupDestination d = disk();
    for (int i = 5; i >= 1; --i)
        d.completed.push_back(ago(i * hour));
    Inputs in{settingsWith({d})};

    in.previous["D1"] = PreviousObservation{d.completed.front(), 12, ago(day), std::nullopt};
    auto issues = evaluate(in);
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0],
              (Issue{IssueKind::historyShrank, "D1", HealthLevel::red,
                     "Older backups on Backup are gone", "Backups listed went from 12 to 5.",
                     "Time Machine removes old backups when the disk fills up. If the "
                     "disk isn't nearly full, the backup may have been started over."}));

    in.previous["D1"].count = 9; // fewer than ten listed before: too few to judge by count
    EXPECT_TRUE(evaluate(in).empty());
    in.previous["D1"].count = 10; // 5 is not fewer than half of 10
    EXPECT_TRUE(evaluate(in).empty());

    const Date oldBefore = addSeconds(d.completed.front(), -31 * day);
    in.previous["D1"] = PreviousObservation{oldBefore, 5, ago(day), std::nullopt};
    issues = evaluate(in);
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].detail, "Your oldest backup was " + shortDate(oldBefore, now) +
                                    "; now it's " + shortDate(d.completed.front(), now) + ".");

    in.previous["D1"].oldest = addSeconds(d.completed.front(), -30 * day);
    EXPECT_TRUE(evaluate(in).empty()) << "exactly 30 days is not a move";
}

TEST(EvaluateHealth, NearlyFullRoundsThePercentageAndTurnsRedAt97) {
    BackupDestination d = healthyDisk();
    d.attempts = {ago(2 * hour)};
    d.bytesUsed = 965;
    d.bytesAvailable = 35;
    auto issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0],
              (Issue{IssueKind::nearlyFull, "D1", HealthLevel::amber, "Backup is 97% full",
                     "When last seen (" + shortDate(ago(2 * hour), now) +
                         "), 35 bytes free. Time Machine will start removing your "
                         "oldest backups.",
                     "To keep more history, use a bigger disk or exclude large folders "
                     "you don't need backed up."}));

    d.bytesUsed = 970;
    d.bytesAvailable = 30;
    issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].level, HealthLevel::red);

    // The quota wins over the free space; without attempts the last completion is "last seen";
    // sizes are written in decimal units.
    d.attempts.clear();
    d.quotaGB = 1000;
    d.bytesUsed = 920'000'000'000;
    d.bytesAvailable = 12'300'000'000;
    issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].title, "Backup is 92% full");
    EXPECT_EQ(issues[0].detail, "When last seen (" + shortDate(ago(hour), now) +
                                    "), 12.3 GB free. Time Machine will start removing your "
                                    "oldest backups.");

    d.completed.clear();
    d.bytesAvailable.reset();
    d.quotaGB = 1;
    d.bytesUsed = 950'000'000;
    issues = evaluate(settingsWith({d}));
    ASSERT_EQ(ids(issues), (Ids{"noCompleted:D1", "nearlyFull:D1"}));
    EXPECT_EQ(issues[1].detail,
              "When last seen. Time Machine will start removing your oldest backups.");

    WatchPreferences prefs;
    prefs.nearlyFull = 0.96;
    EXPECT_EQ(ids(evaluate(settingsWith({d}), prefs)), (Ids{"noCompleted:D1"}));
}

TEST(EvaluateHealth, NotEncryptedOnlyForTheExactState) {
    for (const auto& [state, raises] :
         std::vector<std::pair<std::optional<std::string>, bool>>{{"NotEncrypted", true},
                                                                  {"Encrypted", false},
                                                                  {"notencrypted", false},
                                                                  {"", false},
                                                                  {std::nullopt, false}}) {
        BackupDestination d = healthyDisk();
        d.encryptionState = state;
        auto issues = evaluate(settingsWith({d}));
        ASSERT_EQ(issues.size(), raises ? 1u : 0u) << state.value_or("(absent)");
        if (raises) {
            EXPECT_EQ(issues[0], (Issue{IssueKind::notEncrypted, "D1", HealthLevel::amber,
                                        "Backup isn't encrypted",
                                        "Anyone who has the disk can read your backed-up files.",
                                        "Time Machine can encrypt a backup disk when you choose "
                                        "it. Encrypting an existing disk means setting it up "
                                        "again; check Apple's guide first."}));
        }
    }
}

// A destination whose completed backups took these many seconds, one per day, oldest first.
// A negative duration stands for a completion without a matching attempt.
BackupDestination diskWithDurations(const std::vector<double>& durations) {
    BackupDestination d = disk();
    for (std::size_t i = 0; i < durations.size(); ++i) {
        const Date completed = ago(hour + static_cast<double>(durations.size() - 1 - i) * day);
        if (durations[i] >= 0)
            d.attempts.push_back(addSeconds(completed, -durations[i]));
        d.completed.push_back(completed);
    }
    return d;
}

TEST(EvaluateHealth, SlowerComparesRecentMedianWithBaseline) {
    std::vector<double> durations(8, 300.0);
    durations.insert(durations.end(), 3, 1500.0);
    auto issues = evaluate(settingsWith({diskWithDurations(durations)}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0], (Issue{IssueKind::slower, "D1", HealthLevel::amber,
                                "Backups to Backup are taking longer",
                                "About 25 minutes now, against about 5 minutes before.",
                                "Large new files or a slow connection to the disk can cause "
                                "this."}));

    // A recent median of exactly ten minutes is not slow enough to mention.
    durations = std::vector<double>(8, 200.0);
    durations.insert(durations.end(), {600.0, 600.0, 900.0});
    EXPECT_TRUE(evaluate(settingsWith({diskWithDurations(durations)})).empty());

    // Fewer than eight durations: not enough to judge.
    durations = {300.0, 300.0, 300.0, 300.0, 1500.0, 1500.0, 1500.0};
    EXPECT_TRUE(evaluate(settingsWith({diskWithDurations(durations)})).empty());

    // The baseline is the 20 durations before the last three: older slow ones do not count.
    durations = std::vector<double>(10, 5000.0);
    durations.insert(durations.end(), 20, 300.0);
    durations.insert(durations.end(), 3, 1500.0);
    issues = evaluate(settingsWith({diskWithDurations(durations)}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].detail, "About 25 minutes now, against about 5 minutes before.");

    // Completions without a duration do not count: the baseline reaches back past them to 20
    // real durations (ten of 600 s and ten of 300 s, median 450 s).
    durations = std::vector<double>(15, 600.0);
    for (int i = 0; i < 10; ++i)
        durations.insert(durations.end(), {-1.0, 300.0});
    durations.insert(durations.end(), 3, 1500.0);
    issues = evaluate(settingsWith({diskWithDurations(durations)}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].detail, "About 25 minutes now, against about 8 minutes before.");
}

TEST(EvaluateHealth, ShorterHistoryAgainstTheLongestSeen) {
    BackupDestination d = disk();
    d.completed = {ago(9 * day + hour)};
    d.completed.push_back(ago(hour));
    Inputs in{settingsWith({d})};
    in.previous["D1"] = PreviousObservation{std::nullopt, 2, ago(day), 20};

    auto issues = evaluate(in);
    ASSERT_EQ(ids(issues), (Ids{"shorterHistory:D1"}));
    EXPECT_EQ(issues[0], (Issue{IssueKind::shorterHistory, "D1", HealthLevel::amber,
                                "Your history on Backup is getting shorter",
                                "It goes back 9 days now; it went back 20 days.",
                                "Time Machine removes old backups when the disk fills up. A bigger "
                                "disk keeps more history."}));

    in.settings.destinations[0].completed.front() = ago(10 * day + hour);
    EXPECT_TRUE(evaluate(in).empty()) << "10 is half of 20";

    in.settings.destinations[0].completed.front() = ago(5 * day);
    in.previous["D1"].maxRetentionDays = 13;
    EXPECT_TRUE(evaluate(in).empty()) << "too short a history to compare";

    in.previous["D1"].maxRetentionDays.reset();
    EXPECT_TRUE(evaluate(in).empty());
}

TEST(EvaluateHealth, AfpIsRedWhateverTheSchemesCase) {
    BackupDestination d = healthyDisk("D1", "Capsule");
    d.kind = BackupDestination::Kind::network;
    d.networkURL = "AFP://capsule.local/Data";
    auto issues = evaluate(settingsWith({d}));
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0], (Issue{IssueKind::afp, "D1", HealthLevel::red,
                                "Capsule (network) uses AFP, which macOS 27 removed",
                                "Backups to it stop working on macOS 27 and later.",
                                "Options: a newer NAS, a USB drive, or SMB on the Time Capsule "
                                "(community tools; not supported by Apple or us)."}));

    d.networkURL = "smb://capsule.local/Data";
    EXPECT_TRUE(evaluate(settingsWith({d})).empty());
}

TEST(EvaluateHealth, NasNotAnsweringMatchesTheUrlsHost) {
    BackupDestination d = healthyDisk("D1", "NAS");
    d.kind = BackupDestination::Kind::network;
    d.networkURL = "smb://ann@nas.local/TimeMachine";
    Inputs in{settingsWith({d})};
    in.unreachable = {"nas.local"};
    auto issues = evaluate(in);
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(
        issues[0],
        (Issue{IssueKind::nasUnreachable, "D1", HealthLevel::amber, "NAS (network) didn't answer",
               "Checked " + shortDate(now, now) + ": no reply on the file-sharing port.",
               "Is the NAS on and awake, and is this Mac on the same network?"}));

    in.unreachable = {"other.local"};
    EXPECT_TRUE(evaluate(in).empty());
}

TEST(EvaluateHealth, OrdersByDestinationThenLevelThenRule) {
    BackupDestination first = disk("A", "First");
    first.completed = {ago(2 * day)};
    first.encryptionState = "NotEncrypted";
    first.networkURL = "afp://old.local/x";
    first.kind = BackupDestination::Kind::network;
    BackupDestination second = disk("B", "Second");
    second.attempts = {ago(hour)};
    second.encryptionState = "NotEncrypted";
    TimeMachineSettings settings = settingsWith({first, second});
    settings.automaticBackups = false;
    // First: amber notEncrypted, red afp (overdue is not raised: 2 days is within 3, and the
    // late rule is off with automatic backups off). Second: red noCompleted, amber notEncrypted.
    EXPECT_EQ(ids(evaluate(settings)), (Ids{"afp:A", "notEncrypted:A", "noCompleted:B",
                                            "notEncrypted:B", "autoBackupOff:-"}));
}

// Damaged or missing values never fail the evaluation; they only switch off the rule that
// needs them.
struct OddInputCase {
    const char* name;
    void (*change)(Inputs&);
    Ids expected;
};

void PrintTo(const OddInputCase& c, std::ostream* os) {
    *os << c.name;
}

class OddInput : public testing::TestWithParam<OddInputCase> {};

TEST_P(OddInput, NeverFailsAndRaisesOnlyWhatTheDataSupports) {
    Inputs in{settingsWith({healthyDisk()})};
    GetParam().change(in);
    EXPECT_EQ(ids(evaluate(in)), GetParam().expected);
}

BackupDestination& only(Inputs& in) {
    return in.settings.destinations.front();
}

constexpr double nan = std::numeric_limits<double>::quiet_NaN();
constexpr double inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Cases, OddInput,
    testing::Values(
        OddInputCase{"NameAbsent",
                     [](Inputs& in) {
                         only(in).name.reset();
                         only(in).encryptionState = "NotEncrypted";
                     },
                     {"notEncrypted:D1"}},
        OddInputCase{"NanIntervalCountsAsUnset",
                     [](Inputs& in) {
                         in.settings.interval = nan;
                         only(in).completed = {ago(2 * day)};
                     },
                     {"overdue:D1"}},
        OddInputCase{"InfiniteIntervalCountsAsUnset",
                     [](Inputs& in) {
                         in.settings.interval = inf;
                         only(in).completed = {ago(2 * day)};
                     },
                     {"overdue:D1"}},
        OddInputCase{"NegativeIntervalKeepsTheDayMinimum",
                     [](Inputs& in) {
                         in.settings.interval = -3600.0;
                         only(in).completed = {ago(23 * hour)};
                     },
                     {}},
        OddInputCase{"ZeroSizesGiveNoFraction",
                     [](Inputs& in) {
                         only(in).bytesUsed = 0;
                         only(in).bytesAvailable = 0;
                     },
                     {}},
        OddInputCase{"NegativeUsedIsNotFull",
                     [](Inputs& in) {
                         only(in).bytesUsed = -5;
                         only(in).bytesAvailable = 100;
                     },
                     {}},
        OddInputCase{"NegativeFreeSpace",
                     [](Inputs& in) {
                         only(in).bytesUsed = 950;
                         only(in).bytesAvailable = -50;
                     },
                     {"nearlyFull:D1"}},
        OddInputCase{"HugeSizesDoNotOverflow",
                     [](Inputs& in) {
                         only(in).bytesUsed = std::numeric_limits<std::int64_t>::max();
                         only(in).bytesAvailable = std::numeric_limits<std::int64_t>::max();
                     },
                     {}},
        OddInputCase{"QuotaZeroFallsBackToFreeSpace",
                     [](Inputs& in) {
                         only(in).quotaGB = 0;
                         only(in).bytesUsed = 95;
                         only(in).bytesAvailable = 5;
                     },
                     {"nearlyFull:D1"}},
        OddInputCase{"QuotaZeroWithoutFreeSpace",
                     [](Inputs& in) {
                         only(in).quotaGB = 0;
                         only(in).bytesUsed = 95;
                     },
                     {}},
        OddInputCase{"NanThresholdNeverFull",
                     [](Inputs& in) {
                         in.prefs.nearlyFull = nan;
                         only(in).bytesUsed = 99;
                         only(in).bytesAvailable = 1;
                     },
                     {}},
        OddInputCase{"EmptyUrl",
                     [](Inputs& in) {
                         only(in).networkURL = "";
                         in.unreachable = {""};
                     },
                     {}},
        OddInputCase{"UrlThatDoesNotParse",
                     [](Inputs& in) {
                         only(in).networkURL = "afp://bad host/%zz";
                         in.unreachable = {"bad host"};
                     },
                     {}},
        OddInputCase{"UrlWithoutHost",
                     [](Inputs& in) {
                         only(in).networkURL = "smb:///share";
                         in.unreachable = {""};
                     },
                     {}},
        OddInputCase{"PreviousWithoutOldestOrRetention",
                     [](Inputs& in) { in.previous["D1"] = PreviousObservation{}; },
                     {}},
        OddInputCase{"PreviousWithNegativeValues",
                     [](Inputs& in) {
                         in.previous["D1"] = PreviousObservation{ago(day), -7, ago(day), -30};
                     },
                     {}},
        OddInputCase{
            "PreviousOfAnotherDestination",
            [](Inputs& in) {
                in.previous["D9"] = PreviousObservation{ago(400 * day), 500, ago(day), 400};
            },
            {}},
        OddInputCase{"CompletionInTheFuture",
                     [](Inputs& in) {
                         only(in).completed = {addSeconds(now, 5 * day)};
                         in.previous["D1"] = PreviousObservation{ago(day), 1, ago(day), 20};
                     },
                     {}},
        OddInputCase{
            "NanCompletionDate", [](Inputs& in) { only(in).completed = {dateFromUnix(nan)}; }, {}},
        OddInputCase{"NanPhaseStart",
                     [](Inputs& in) {
                         in.run = BackupRunState{true, "Copying", std::nullopt, std::nullopt};
                         in.phaseSince = dateFromUnix(nan);
                     },
                     {}},
        OddInputCase{"AncientPhaseStart",
                     [](Inputs& in) {
                         in.run = BackupRunState{true, std::nullopt, std::nullopt, std::nullopt};
                         in.phaseSince = dateFromUnix(-1e300);
                     },
                     {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(LossLine, ReadsAtLeastOneDay) {
    const std::vector<std::pair<double, std::string>> cases{
        {0, "1 day"},           {1.9 * day, "1 day"}, {2 * day, "2 days"},
        {9.99 * day, "9 days"}, {-3 * day, "1 day"},  {nan, "1 day"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(lossLine(ago(seconds), now),
                  "Changes made in the past " + text + " may not be recoverable from this backup.")
            << seconds;
}

TEST(Median, MiddleOrMeanOfTheTwoMiddleValues) {
    EXPECT_EQ(median({}), 0);
    EXPECT_EQ(median({7}), 7);
    EXPECT_EQ(median({9, 1, 5}), 5);
    EXPECT_EQ(median({4, 1, 3, 2}), 2.5);
    // A NaN sorts last instead of breaking the sort.
    EXPECT_EQ(median({nan, 1, 2}), 2);
}

TEST(Minutes, MinutesBelowNinetyThenHours) {
    const std::vector<std::pair<double, std::string>> cases{
        {0, "0 minutes"},         {29, "0 minutes"},       {30, "1 minute"},
        {60, "1 minute"},         {89 * 60, "89 minutes"}, {89 * 60 + 29, "89 minutes"},
        {89 * 60 + 30, "1 hour"}, {90 * 60, "2 hours"},    {3 * hour, "3 hours"},
        {nan, "0 minutes"},       {inf, "0 minutes"},
    };
    for (const auto& [seconds, text] : cases)
        EXPECT_EQ(minutes(seconds), text) << seconds;
}

} // namespace
} // namespace quorvane
