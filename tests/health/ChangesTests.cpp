#include "health/Changes.h"

#include "timemachine/StatusText.h"

#include <gtest/gtest.h>

#include <unicode/timezone.h>

#include <sys/utsname.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <random>

using namespace quorvane;
namespace fs = std::filesystem;

namespace {

const Date t0 = dateFromUnix(1760000000); // 2025-10-09T08:53:20Z
constexpr double hour = 3600;
constexpr double day = 86400;

const OSVersion sequoia151{"15.1", "24B83"};
const OSVersion sequoia152{"15.2", "24C101"};

BackupDestination destination(const std::string& id, std::optional<std::string> name,
                              BackupDestination::Kind kind = BackupDestination::Kind::local,
                              std::vector<Date> completed = {}) {
    BackupDestination d;
    d.id = id;
    d.name = std::move(name);
    d.kind = kind;
    d.completed = std::move(completed);
    return d;
}

TimeMachineSettings settingsWith(std::vector<BackupDestination> destinations) {
    TimeMachineSettings settings;
    settings.destinations = std::move(destinations);
    return settings;
}

} // namespace

// --- recordChanges --------------------------------------------------------------------------

TEST(RecordChanges, FirstCheckOnlyRemembers) {
    ChangeState state;
    auto settings = settingsWith({destination("D1", "Old"),
                                  destination("D2", std::nullopt, BackupDestination::Kind::network),
                                  destination("D1", "Duplicate")});
    recordChanges(state, settings, sequoia151, t0);

    ChangeState expected;
    expected.osBuild = "24B83";
    expected.osVersion = "15.1";
    expected.lastCheck = t0;
    expected.destinations = {{"D1", "Old"}, {"D2", "backup disk (network)"}};
    EXPECT_EQ(state, expected);
}

TEST(RecordChanges, GapOnlyAfterMoreThanThreeHours) {
    struct Case {
        double apart;
        std::size_t gaps;
    };
    for (Case c : {Case{2 * hour, 0}, Case{3 * hour, 0}, Case{3 * hour + 1, 1}, Case{-day, 0}}) {
        ChangeState state;
        recordChanges(state, std::nullopt, sequoia151, t0);
        recordChanges(state, std::nullopt, sequoia151, addSeconds(t0, c.apart));
        ASSERT_EQ(state.gaps.size(), c.gaps) << c.apart;
        if (c.gaps) {
            EXPECT_EQ(state.gaps.back(), (Gap{t0, addSeconds(t0, c.apart)}));
        }
        EXPECT_EQ(state.lastCheck, addSeconds(t0, c.apart));
    }
}

TEST(RecordChanges, KeepsTheThirtyNewestGapsWhateverWasStored) {
    for (std::size_t stored : {std::size_t{30}, std::size_t{100'000}}) {
        ChangeState state;
        for (std::size_t i = 0; i < stored; ++i)
            state.gaps.push_back(Gap{addSeconds(t0, -1e7 + i), addSeconds(t0, -1e7 + i + 1)});
        state.lastCheck = addSeconds(t0, -4 * hour);
        recordChanges(state, std::nullopt, sequoia151, t0);
        ASSERT_EQ(state.gaps.size(), maxMonitoringGaps) << stored;
        EXPECT_EQ(state.gaps.back(), (Gap{addSeconds(t0, -4 * hour), t0}));
        EXPECT_EQ(state.gaps.front().from, addSeconds(t0, -1e7 + double(stored) - 29));
    }
}

TEST(RecordChanges, NotesAMacOSUpdate) {
    ChangeState state;
    recordChanges(state, std::nullopt, sequoia151, t0);
    recordChanges(state, std::nullopt, sequoia151, addSeconds(t0, hour));
    EXPECT_FALSE(state.osChangedAt);

    recordChanges(state, std::nullopt, sequoia152, addSeconds(t0, 2 * hour));
    EXPECT_EQ(state.osChangedAt, addSeconds(t0, 2 * hour));
    EXPECT_EQ(state.osChangedFrom, "15.1");
    EXPECT_EQ(state.osVersion, "15.2");
    EXPECT_EQ(state.osBuild, "24C101");

    // The change stays noted until the next build change; without a version the build is named.
    recordChanges(state, std::nullopt, sequoia152, addSeconds(t0, 3 * hour));
    EXPECT_EQ(state.osChangedAt, addSeconds(t0, 2 * hour));
    ChangeState buildOnly;
    buildOnly.osBuild = "24A335";
    recordChanges(buildOnly, std::nullopt, sequoia151, t0);
    EXPECT_EQ(buildOnly.osChangedFrom, "24A335");
}

TEST(RecordChanges, NoOSReadingIsNoUpdate) {
    ChangeState state;
    recordChanges(state, std::nullopt, sequoia151, t0);
    // A check whose SystemVersion.plist could not be read, then one where it reads again.
    recordChanges(state, std::nullopt, std::nullopt, addSeconds(t0, hour));
    EXPECT_EQ(state.osBuild, "24B83");
    EXPECT_EQ(state.osVersion, "15.1");
    EXPECT_EQ(state.lastCheck, addSeconds(t0, hour));
    recordChanges(state, std::nullopt, sequoia151, addSeconds(t0, 2 * hour));
    EXPECT_FALSE(state.osChangedAt);
    EXPECT_FALSE(state.osChangedFrom);

    ChangeState first;
    recordChanges(first, std::nullopt, std::nullopt, t0);
    EXPECT_FALSE(first.osBuild);
    EXPECT_FALSE(first.osVersion);
}

TEST(RecordChanges, NotesAReplacedDestination) {
    struct Case {
        const char* name;
        std::vector<BackupDestination> after;
        std::vector<Replacement> replacements;
    };
    const std::vector<Case> cases{
        {"Replaced", {destination("D2", "New")}, {Replacement{t0, "Old", "New", "D2"}}},
        {"Added", {destination("D1", "Old"), destination("D2", "New")}, {}},
        {"Removed", {}, {}},
        {"Renamed", {destination("D1", "Renamed")}, {}},
    };
    for (const Case& c : cases) {
        ChangeState state;
        recordChanges(state, settingsWith({destination("D1", "Old")}), sequoia151,
                      addSeconds(t0, -600));
        recordChanges(state, settingsWith(c.after), sequoia151, t0);
        EXPECT_EQ(state.replacements, c.replacements) << c.name;
        EXPECT_EQ(state.destinations.size(), c.after.size()) << c.name;
    }
}

TEST(RecordChanges, UnreadableSettingsLeaveDestinationsAlone) {
    ChangeState state;
    recordChanges(state, settingsWith({destination("D1", "Old")}), sequoia151, t0);
    recordChanges(state, std::nullopt, sequoia151, addSeconds(t0, 600));
    EXPECT_EQ(state.destinations, (std::map<std::string, std::string>{{"D1", "Old"}}));
    EXPECT_TRUE(state.replacements.empty());
}

TEST(RecordChanges, ForgetsReplacementsAfterAWeekAndBoundsThem) {
    ChangeState state;
    state.replacements = {Replacement{addSeconds(t0, -8 * day), "A", "B", "B"},
                          Replacement{addSeconds(t0, -6 * day), "B", "C", "C"},
                          Replacement{addSeconds(t0, 2 * hour), "C", "D", "D"},
                          Replacement{addSeconds(t0, 3 * day), "D", "E", "E"}};
    recordChanges(state, std::nullopt, sequoia151, t0);
    // A replacement dated days ahead was noted with a wrong clock and would never expire.
    ASSERT_EQ(state.replacements.size(), 2u);
    EXPECT_EQ(state.replacements.front().newID, "C");
    EXPECT_EQ(state.replacements.back().newID, "D");

    ChangeState flooded;
    for (int i = 0; i < 100'000; ++i)
        flooded.replacements.push_back(
            Replacement{addSeconds(t0, -day + i * 0.5), "x", "y", std::to_string(i)});
    recordChanges(flooded, std::nullopt, sequoia151, t0);
    ASSERT_EQ(flooded.replacements.size(), maxReplacements);
    EXPECT_EQ(flooded.replacements.back().newID, "99999");
    EXPECT_EQ(changeIssues(flooded, std::nullopt, t0).size(), maxReplacements);
}

// --- changeIssues ---------------------------------------------------------------------------

TEST(ChangeIssues, AfterAnUpgradeGreenThenAmber) {
    ChangeState state;
    recordChanges(state, std::nullopt, sequoia151, addSeconds(t0, -day));
    recordChanges(state, std::nullopt, sequoia152, t0);
    const std::string detail = "Updated " + shortDate(t0, addSeconds(t0, 10 * hour)) +
                               " from 15.1. Backups sometimes stop working after an update.";
    const std::string standard =
        "Check that the next backup completes. If it doesn't, the reason will show here.";
    const auto local = settingsWith(
        {destination("D1", "Disk", BackupDestination::Kind::local, {addSeconds(t0, -hour)})});
    const auto withNAS = settingsWith(
        {local.destinations[0], destination("N1", "NAS", BackupDestination::Kind::network)});

    auto afterUpgrade = [&](const TimeMachineSettings& settings, double later) {
        std::vector<Issue> issues = changeIssues(state, settings, addSeconds(t0, later));
        std::erase_if(issues, [](const Issue& i) { return i.kind != IssueKind::afterUpgrade; });
        return issues;
    };

    auto early = afterUpgrade(withNAS, 10 * hour);
    ASSERT_EQ(early.size(), 1u);
    EXPECT_EQ(early[0], (Issue{IssueKind::afterUpgrade, std::nullopt, HealthLevel::green,
                               "No backup since macOS was updated to 15.2", detail, standard}));

    auto late = afterUpgrade(withNAS, 30 * hour);
    ASSERT_EQ(late.size(), 1u);
    EXPECT_EQ(late[0].level, HealthLevel::amber);
    EXPECT_TRUE(late[0].check->starts_with("Network backups often stop after a macOS update."));

    auto lateLocal = afterUpgrade(local, 30 * hour);
    ASSERT_EQ(lateLocal.size(), 1u);
    EXPECT_EQ(lateLocal[0].level, HealthLevel::amber);
    EXPECT_EQ(lateLocal[0].check, standard);

    // A backup after the update, no destinations, or no settings: nothing to say.
    auto done = settingsWith(
        {destination("D1", "Disk", BackupDestination::Kind::local, {addSeconds(t0, hour)})});
    EXPECT_TRUE(afterUpgrade(done, 30 * hour).empty());
    EXPECT_TRUE(afterUpgrade(settingsWith({}), 30 * hour).empty());
    EXPECT_TRUE(changeIssues(state, std::nullopt, addSeconds(t0, 30 * hour)).empty());
}

TEST(ChangeIssues, UnknownVersionReadsANewVersion) {
    ChangeState state;
    state.osChangedAt = t0;
    auto issues = changeIssues(state, settingsWith({destination("D1", "Disk")}), t0);
    ASSERT_EQ(issues.size(), 1u);
    EXPECT_EQ(issues[0].title, "No backup since macOS was updated to a new version");
    EXPECT_EQ(issues[0].detail,
              "Updated " + shortDate(t0, t0) + ". Backups sometimes stop working after an update.");
}

TEST(ChangeIssues, RecentMonitoringGapOnly) {
    ChangeState state;
    const Gap gap{addSeconds(t0, -10 * hour), t0};
    state.gaps = {Gap{addSeconds(t0, -9 * day), addSeconds(t0, -8 * day)}, gap};

    auto at23 = changeIssues(state, std::nullopt, addSeconds(t0, 23 * hour));
    ASSERT_EQ(at23.size(), 1u);
    const Date later = addSeconds(t0, 23 * hour);
    EXPECT_EQ(at23[0], (Issue{IssueKind::monitoringGap, std::nullopt, HealthLevel::green,
                              "Quorvane Ombrel wasn't watching from " + shortDate(gap.from, later) +
                                  " to " + shortDate(gap.to, later),
                              "The Mac was off or asleep, or the app wasn't open. Anything that "
                              "happened then is checked now.",
                              std::nullopt}));
    EXPECT_TRUE(changeIssues(state, std::nullopt, addSeconds(t0, 25 * hour)).empty());
}

TEST(ChangeIssues, OneIssuePerReplacementInOrder) {
    ChangeState state;
    state.replacements = {Replacement{addSeconds(t0, -2 * day), "Old", "New", "D2"},
                          Replacement{addSeconds(t0, -day), "New", "Newer", "D3"}};
    auto issues = changeIssues(state, std::nullopt, t0);
    ASSERT_EQ(issues.size(), 2u);
    EXPECT_EQ(issues[0],
              (Issue{IssueKind::destinationChanged, "D2", HealthLevel::amber,
                     "Backup disk changed: Old is gone, New is new",
                     "Seen " + shortDate(addSeconds(t0, -2 * day), t0) +
                         ". History on the new disk starts from its first backup; older backups "
                         "stay on the old disk.",
                     "If you didn't change disks, check Time Machine settings."}));
    EXPECT_EQ(issues[1].destinationID, "D3");
}

// --- resolvedAlerts -------------------------------------------------------------------------

TEST(ResolvedAlerts, OnlyRecoverableKindsThatAreGone) {
    const std::map<std::string, Date> alerted{
        {"overdue:D1", t0},         {"nearlyFull:D1", t0},  {"failing:D2", t0}, {"stuck:-", t0},
        {"tool:tool:Arq:Home", t0}, {"noCompleted:D3", t0}, {"overdueD1", t0},  {"garbage", t0}};
    const Issue failingD2{IssueKind::failing, "D2", HealthLevel::amber, "Failing", {}, {}};
    const Issue awayD1{IssueKind::away, "D1", HealthLevel::green, "Away", {}, {}};
    const Issue awayTool{IssueKind::away, "tool:Arq:Home", HealthLevel::green, "Away", {}, {}};

    EXPECT_EQ(resolvedAlerts(alerted, {failingD2}),
              (std::vector<std::string>{"noCompleted:D3", "overdue:D1", "stuck:-",
                                        "tool:tool:Arq:Home"}));
    EXPECT_EQ(resolvedAlerts(alerted, {failingD2, awayD1, awayTool}),
              (std::vector<std::string>{"noCompleted:D3", "stuck:-"}));
    EXPECT_TRUE(resolvedAlerts({}, {failingD2}).empty());
}

// --- inQuietHours ---------------------------------------------------------------------------

TEST(InQuietHours, HoursInTheGivenCalendar) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> utc(
        icu::Calendar::createInstance(icu::TimeZone::getGMT()->clone(), status));
    ASSERT_TRUE(U_SUCCESS(status));
    const Date midnight = dateFromUnix(1736899200); // 2025-01-15T00:00:00Z
    auto at = [&](int h, int m) { return addSeconds(midnight, h * hour + m * 60); };

    struct Case {
        std::optional<int> from, to;
        int h, m;
        bool quiet;
    };
    const std::vector<Case> cases{
        {22, 7, 23, 30, true},
        {22, 7, 6, 59, true},
        {22, 7, 7, 0, false},
        {22, 7, 21, 59, false},
        {22, 7, 22, 0, true},
        {9, 17, 12, 0, true},
        {9, 17, 17, 0, false},
        {9, 17, 8, 59, false},
        {8, 8, 8, 30, false},
        {std::nullopt, 7, 3, 0, false},
        {22, std::nullopt, 23, 0, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(inQuietHours(at(c.h, c.m), c.from, c.to, *utc), c.quiet)
            << c.from.value_or(-1) << "-" << c.to.value_or(-1) << " at " << c.h << ":" << c.m;

    // 21:30 UTC is 22:30 in Berlin, the user's zone in these tests.
    std::unique_ptr<icu::Calendar> berlin(
        icu::Calendar::createInstance(icu::TimeZone::createTimeZone("Europe/Berlin"), status));
    EXPECT_TRUE(inQuietHours(at(21, 30), 22, 7, *berlin));
    EXPECT_FALSE(inQuietHours(at(21, 30), 22, 7, *utc));
    EXPECT_TRUE(inQuietHours(at(21, 30), 22, 7));
}

// --- currentOS ------------------------------------------------------------------------------

namespace {

struct TempMac {
    fs::path root;
    TempMac() {
        std::random_device random;
        root = fs::temp_directory_path() /
               ("quorvane-os-" + std::to_string(getpid()) + "-" + std::to_string(random()));
        fs::create_directories(root / "System/Library/CoreServices");
    }
    ~TempMac() {
        std::error_code error;
        fs::remove_all(root, error);
    }
    Mac mac() const { return Mac{root.string(), "/Users/ann"}; }
    fs::path file() const { return root / "System/Library/CoreServices/SystemVersion.plist"; }
    void write(const std::string& dictBody) const {
        std::ofstream(file()) << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist "
                                 "version=\"1.0\"><dict>"
                              << dictBody << "</dict></plist>\n";
    }
};

OSVersion runningSystem() {
    utsname names{};
    uname(&names);
    return {(std::string(names.sysname) + " " + names.release).substr(0, 64),
            (std::string(names.release) + " " + names.version).substr(0, 64)};
}

} // namespace

TEST(CurrentOS, ReadsTheSystemVersionFile) {
    TempMac temp;
    temp.write("<key>ProductName</key><string>macOS</string><key>ProductVersion</key>"
               "<string>15.1</string><key>ProductBuildVersion</key><string>24B83</string>");
    EXPECT_EQ(currentOS(temp.mac()), (OSVersion{"15.1", "24B83"}));

    temp.write("<key>ProductVersion</key><string>15.0.0</string>");
    EXPECT_EQ(currentOS(temp.mac()), (OSVersion{"15.0", "15.0.0"}));
}

TEST(CurrentOS, RunningSystemOnlyWithoutTheFile) {
    TempMac temp;
    EXPECT_EQ(currentOS(temp.mac()), runningSystem());
    fs::remove_all(temp.root / "System");
    EXPECT_EQ(currentOS(temp.mac()), runningSystem());
}

TEST(CurrentOS, PresentButUnreadableFileGivesNoReading) {
    const std::vector<std::pair<std::string, std::function<void(const TempMac&)>>> cases{
        {"wrong types",
         [](const TempMac& t) { t.write("<key>ProductVersion</key><integer>15</integer>"); }},
        {"not a version",
         [](const TempMac& t) {
             t.write("<key>ProductVersion</key><string>" + std::string(100, '1') + "</string>");
         }},
        {"not a property list", [](const TempMac& t) { std::ofstream(t.file()) << "garbage"; }},
        {"empty", [](const TempMac& t) { std::ofstream{t.file()}; }},
        {"too large to be the file",
         [](const TempMac& t) { std::ofstream(t.file()) << std::string(100 * 1024, ' '); }},
        {"a folder", [](const TempMac& t) { fs::create_directory(t.file()); }},
        {"a link, never followed",
         [](const TempMac& t) {
             t.write("<key>ProductVersion</key><string>15.1</string>");
             fs::rename(t.file(), t.root / "real.plist");
             fs::create_symlink(t.root / "real.plist", t.file());
         }},
        {"a dangling link",
         [](const TempMac& t) { fs::create_symlink(t.root / "missing.plist", t.file()); }},
    };
    for (const auto& [name, make] : cases) {
        TempMac temp;
        make(temp);
        EXPECT_EQ(currentOS(temp.mac()), std::nullopt) << name;
    }
}

TEST(NormalizedOSVersion, KeepsThePatchOnlyWhenSet) {
    const std::vector<std::pair<std::string, std::string>> cases{
        {"15.1", "15.1"},
        {"15.0", "15.0"},
        {"15.1.1", "15.1.1"},
        {"15.1.0", "15.1"},
        {"15", "15.0"},
        {"15.", "15."},
        {"15.1a", "15.1a"},
        {"", ""},
        {"1.2.3.4", "1.2.3.4"},
        {"-1.2", "-1.2"},
        {"99999999999.1", "99999999999.1"},
    };
    for (const auto& [raw, expected] : cases)
        EXPECT_EQ(normalizedOSVersion(raw), expected) << raw;
}
