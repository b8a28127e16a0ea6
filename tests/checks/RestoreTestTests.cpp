#include "checks/RestoreTest.h"

#include "support/TempMac.h"
#include "timemachine/StatusText.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

using namespace quorvane;
using quorvane::testing::TempMac;

namespace {

const Date now = dateFromUnix(1'800'000'000);
const std::string folder = "/Users/ann/Quorvane Ombrel Restore Test";
const std::string file = folder + "/Restore test.txt";

std::string contentsOf(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TimeMachineSettings backedUpAt(Date when) {
    TimeMachineSettings settings;
    BackupDestination d;
    d.id = "D1";
    d.completed = {when};
    settings.destinations.push_back(d);
    return settings;
}

RestoreTestState started(const TempMac& m) {
    std::error_code error;
    auto state = startRestoreTest(m.mac(), std::nullopt, now, error);
    EXPECT_FALSE(error) << error.message();
    return state.value_or(RestoreTestState{});
}

} // namespace

TEST(RestoreTest, StartWritesTheTestFileAndKeepsPastResults) {
    TempMac m;
    RestoreTestState previous;
    previous.results = {{now - Seconds(86400), false, std::nullopt}};
    std::error_code error;
    auto state = startRestoreTest(m.mac(), previous, now, error);
    ASSERT_TRUE(state) << error.message();
    EXPECT_EQ(state->phase, RestoreTestState::Phase::waitingForBackup);
    EXPECT_EQ(state->folder, folder);
    EXPECT_EQ(state->fileName, "Restore test.txt");
    EXPECT_EQ(state->results, previous.results);
    const std::string written = contentsOf(m.host(file));
    EXPECT_TRUE(
        written.starts_with("Quorvane Ombrel restore test\nMade 2027-01-15T08:00:00Z\nCode "));
    EXPECT_EQ(state->originalHash, sha256Hex(written));
    EXPECT_EQ(state->originalHash.size(), 64u);
    EXPECT_TRUE(restoreTestPathIsOurs(*state, "/Users/ann"));
    EXPECT_TRUE(restoreTestPathIsOurs(*state, "/Users/ann/"));
    EXPECT_FALSE(restoreTestPathIsOurs(*state, "/Users/bob"));
}

TEST(RestoreTest, RecognisesItsFolderHoweverTheHomeIsWritten) {
    for (const char* home :
         {"/Users/ann", "/Users//ann", "/Users/ann/.", "/Users/ann/", "//Users/./ann"}) {
        SCOPED_TRACE(home);
        TempMac m(home);
        RestoreTestState state = started(m);
        EXPECT_EQ(state.folder, folder);
        for (const char* other : {"/Users/ann", "/Users//ann/", "/Users/ann/."})
            EXPECT_TRUE(restoreTestPathIsOurs(state, other)) << other;
        advanceRestoreTest(state, backedUpAt(now + Seconds(31)), now + Seconds(60), m.mac());
        EXPECT_EQ(state.phase, RestoreTestState::Phase::readyToRestore);
    }
}

TEST(RestoreTest, StartRefusesAFolderThatIsALink) {
    TempMac m;
    m.mkdir("/elsewhere");
    m.link(m.host("/elsewhere").string(), folder);
    std::error_code error;
    EXPECT_FALSE(startRestoreTest(m.mac(), std::nullopt, now, error));
    EXPECT_TRUE(error);
    EXPECT_FALSE(std::filesystem::exists(m.host("/elsewhere/Restore test.txt")));
}

TEST(RestoreTest, AdvancesOnlyAfterABackupThatCanHoldTheFile) {
    TempMac m;
    RestoreTestState state = started(m);
    const std::string original = contentsOf(m.host(file));

    advanceRestoreTest(state, backedUpAt(now + Seconds(10)), now + Seconds(60), m.mac());
    EXPECT_EQ(state.phase, RestoreTestState::Phase::waitingForBackup);
    EXPECT_EQ(contentsOf(m.host(file)), original);

    advanceRestoreTest(state, backedUpAt(now + Seconds(31)), now + Seconds(60), m.mac());
    EXPECT_EQ(state.phase, RestoreTestState::Phase::readyToRestore);
    EXPECT_EQ(state.changedAt, now + Seconds(60));
    EXPECT_EQ(contentsOf(m.host(file)), "This copy was changed by Quorvane Ombrel.\nRestore the "
                                        "earlier version from Time Machine to finish the test.\n");
}

TEST(RestoreTest, NeverWritesThroughALinkOrFolderOrOutsideItsFolder) {
    {
        TempMac m;
        RestoreTestState state = started(m);
        m.write("/victim.txt", "keep me");
        std::filesystem::remove(m.host(file));
        m.link(m.host("/victim.txt").string(), file);
        advanceRestoreTest(state, backedUpAt(now + Seconds(100)), now + Seconds(200), m.mac());
        EXPECT_EQ(state.phase, RestoreTestState::Phase::waitingForBackup);
        EXPECT_EQ(contentsOf(m.host("/victim.txt")), "keep me");
    }
    {
        TempMac m;
        RestoreTestState state = started(m);
        std::filesystem::remove(m.host(file));
        m.mkdir(file);
        advanceRestoreTest(state, backedUpAt(now + Seconds(100)), now + Seconds(200), m.mac());
        EXPECT_EQ(state.phase, RestoreTestState::Phase::waitingForBackup);
    }
    {
        TempMac m;
        RestoreTestState state = started(m);
        state.folder = "/Users/ann/Documents";
        m.write("/Users/ann/Documents/Restore test.txt", "precious");
        advanceRestoreTest(state, backedUpAt(now + Seconds(100)), now + Seconds(200), m.mac());
        EXPECT_EQ(state.phase, RestoreTestState::Phase::waitingForBackup);
        EXPECT_EQ(contentsOf(m.host("/Users/ann/Documents/Restore test.txt")), "precious");
        state.phase = RestoreTestState::Phase::readyToRestore;
        EXPECT_FALSE(checkRestoreTest(state, std::nullopt, now, m.mac()));
        EXPECT_EQ(state.note, std::nullopt);
    }
}

TEST(RestoreTest, CheckFindsTheOriginalUnderAnyName) {
    TempMac m;
    RestoreTestState state = started(m);
    const std::string original = contentsOf(m.host(file));
    advanceRestoreTest(state, backedUpAt(now + Seconds(100)), now + Seconds(200), m.mac());
    ASSERT_EQ(state.phase, RestoreTestState::Phase::readyToRestore);

    // Not yet restored; an oversized file and a link to a copy of the original don't count.
    m.write(folder + "/big.txt", std::string(restoreTestMaxBytes + 1, 'x'));
    m.write("/Users/ann/copy.txt", original);
    m.link(m.host("/Users/ann/copy.txt").string(), folder + "/linked.txt");
    EXPECT_FALSE(checkRestoreTest(state, "Disk", now + Seconds(300), m.mac()));
    EXPECT_EQ(state.phase, RestoreTestState::Phase::readyToRestore);
    EXPECT_EQ(state.note, "The restored file isn't there yet. Restore \"Restore test.txt\" from a "
                          "backup made before " +
                              shortDate(now + Seconds(200), now + Seconds(300)) +
                              ", then check again.");

    m.write(folder + "/Restore test 2.txt", original);
    EXPECT_TRUE(checkRestoreTest(state, "Disk", now + Seconds(400), m.mac()));
    EXPECT_EQ(state.phase, RestoreTestState::Phase::passed);
    EXPECT_EQ(state.finishedAt, now + Seconds(400));
    EXPECT_EQ(state.note, std::nullopt);
    ASSERT_EQ(state.results.size(), 1u);
    EXPECT_EQ(state.results[0], (RestoreTestResult{now + Seconds(400), true, "Disk"}));
    EXPECT_TRUE(checkRestoreTest(state, "Disk", now + Seconds(500), m.mac()));
    EXPECT_EQ(state.results.size(), 1u);
}

TEST(RestoreTest, ExcludedFolders) {
    RestoreTestState state;
    state.folder = folder;
    TimeMachineSettings settings;
    for (const auto& [excluded, expected] :
         std::vector<std::pair<std::string, bool>>{{"~", true},
                                                   {"/Users/ann", true},
                                                   {"~/Quorvane Ombrel Restore Test", true},
                                                   {"~/", true},
                                                   {"/Users//ann/./", true},
                                                   {"/Users/ann/Documents", false},
                                                   {"/Users/ann/Quorvane", false}}) {
        settings.excludedPaths = {excluded};
        EXPECT_EQ(restoreTestExcluded(state, settings, "/Users/ann"), expected) << excluded;
    }
}

TEST(RestoreTest, DueAndLine) {
    constexpr double day = 86400;
    RestoreTestState state;
    EXPECT_TRUE(restoreTestDue(std::nullopt, now, 90));
    EXPECT_TRUE(restoreTestDue(state, now, 90));
    state.results = {{now - Seconds(5 * day), false, std::nullopt}};
    EXPECT_TRUE(restoreTestDue(state, now, 90));
    state.results.insert(state.results.begin(), {now - Seconds(100 * day), true, std::nullopt});
    EXPECT_TRUE(restoreTestDue(state, now, 90));
    state.results[0].date = now - Seconds(80 * day);
    EXPECT_FALSE(restoreTestDue(state, now, 90));

    EXPECT_EQ(restoreTestLine(std::nullopt, now), "Restore test: not done yet.");
    state.started = now - Seconds(day);
    state.fileName = "Restore test.txt";
    EXPECT_EQ(restoreTestLine(state, now), "Restore test: waiting for Time Machine to back up the "
                                           "test file (made " +
                                               shortDate(now - Seconds(day), now) + ").");
    state.phase = RestoreTestState::Phase::readyToRestore;
    EXPECT_EQ(restoreTestLine(state, now),
              "Restore test: ready. Restore \"Restore test.txt\" from Time Machine, then check.");
    state.phase = RestoreTestState::Phase::passed;
    state.finishedAt = now - Seconds(day);
    EXPECT_EQ(restoreTestLine(state, now),
              "Restore test passed " + relativeDays(now - Seconds(day), now) +
                  ": one test file came back from Time Machine unchanged. That doesn't prove every "
                  "file can be restored.");
    state.phase = RestoreTestState::Phase::failed;
    EXPECT_EQ(restoreTestLine(state, now), "Restore test didn't pass.");
    state.note = "Try again";
    EXPECT_EQ(restoreTestLine(state, now), "Restore test didn't pass: Try again");
}
