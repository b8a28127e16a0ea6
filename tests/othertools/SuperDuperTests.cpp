#include "othertools/SuperDuper.h"

#include "support/TempMac.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

using namespace quorvane;
using quorvane::testing::TempMac;

namespace {

const Date now = dateFromUnix(1'800'000'000);

const char* const failedLog =
    "{\\rtf1\\ansi\\ansicpg1252\n"
    "\\cf2 | 21:00:01 | Info | SuperDuper!, 3.10\\\n"
    "| 21:00:02 | Info | ...ACTION: Copying files from \\'93Macintosh HD\\'94 \\\n"
    "| 21:04:00 | Error | Could not copy \\{file\\}\\cf3 extra\\\n"
    "| 21:04:01 | Info | ...ACTION: Cleaning up\\\n"
    "| 21:04:02 | Error | later error\\\n"
    "}";

const char* const completedLog = "| 21:00:02 | Info | ...ACTION: Copying files\\\n"
                                 "| 21:03:00 | Error | one file skipped\\\n"
                                 "| 21:04:00 | Info | Copy complete.\\\n";

std::string logName(double unix) {
    // Logs are named by their start in the writer's zone; these use +0100.
    std::time_t t = static_cast<std::time_t>(unix + 3600);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buffer[64];
    std::strftime(buffer, sizeof buffer, "%Y-%m-%d %H:%M:%S +0100.sdlog", &tm);
    return buffer;
}

// A simulated Mac for tests that make many thousands of files: in memory when the machine has
// a memory file system, as creating that many files on a disk can take minutes.
class ManyFilesMac {
public:
    ManyFilesMac() {
        const std::filesystem::path shm = "/dev/shm";
        std::error_code error;
        std::string pattern =
            ((std::filesystem::is_directory(shm, error) ? shm
                                                        : std::filesystem::temp_directory_path()) /
             "quorvane-test-XXXXXX")
                .string();
        if (!mkdtemp(pattern.data()))
            throw std::runtime_error("mkdtemp failed");
        dir_ = pattern;
        mac_ = Mac{dir_.string(), "/Users/ann"};
    }
    ~ManyFilesMac() {
        std::error_code error;
        std::filesystem::remove_all(dir_, error);
    }
    const Mac& mac() const { return mac_; }
    std::filesystem::path host(std::string_view macPath) const { return mac_.hostPath(macPath); }
    void write(std::string_view macPath, std::string_view contents) const {
        std::ofstream(host(macPath), std::ios::binary | std::ios::trunc) << contents;
    }

private:
    std::filesystem::path dir_;
    Mac mac_;
};

} // namespace

TEST(SuperDuper, CleansRtfLogLines) {
    auto lines = superDuperLines(failedLog);
    ASSERT_EQ(lines.size(), 5u);
    EXPECT_EQ(lines[0], "| 21:00:01 | Info | SuperDuper!, 3.10");
    EXPECT_EQ(lines[1],
              "| 21:00:02 | Info | ...ACTION: Copying files from \u201CMacintosh HD\u201D");
    EXPECT_EQ(lines[2], "| 21:04:00 | Error | Could not copy {file}");
    EXPECT_TRUE(superDuperLines("").empty());
    EXPECT_TRUE(superDuperLines("no separators here\n\n").empty());
}

TEST(SuperDuper, ParsesRunsFromLogs) {
    const Date start = dateFromUnix(1'799'000'000);
    auto failed = parseSuperDuperLog(failedLog, start);
    EXPECT_EQ(failed,
              (SuperDuperRun{start, false, "Copying files from \u201CMacintosh HD\u201D", true}));

    auto completed = parseSuperDuperLog(completedLog, start);
    EXPECT_TRUE(completed.completed);
    EXPECT_FALSE(completed.failed);

    auto errorFirst =
        parseSuperDuperLog("| x | Error | boom\n| y | Info | ...ACTION: Later\n", start);
    EXPECT_TRUE(errorFirst.failed);
    EXPECT_EQ(errorFirst.failedStep, std::nullopt);

    EXPECT_EQ(parseSuperDuperLog("", start), (SuperDuperRun{start, false, std::nullopt, false}));
}

TEST(SuperDuper, LogStartFromFileName) {
    EXPECT_EQ(superDuperLogStart("2026-12-08 21:00:03 +0100"),
              dateFromUnix(1'796'760'003)); // 2026-12-08T20:00:03Z
    EXPECT_EQ(superDuperLogStart("2026-12-08 21:00:03 -0530"),
              dateFromUnix(1'796'763'603 + 5.5 * 3600));
    for (const char* bad : {"", "2026-12-08 21:00:03", "2026-13-08 21:00:03 +0100",
                            "2026-02-30 21:00:03 +0100", "Backup log", "2026-12-08T21:00:03 +0100",
                            "2026-12-08 21:00:60 +0100", "2026-12-31 23:59:60 +0000"})
        EXPECT_EQ(superDuperLogStart(bad), std::nullopt) << bad;
}

TEST(SuperDuper, StatusFromRuns) {
    const Date older = dateFromUnix(1'799'000'000), newer = dateFromUnix(1'799'086'400);
    auto status = superDuperStatus(
        "Default Settings", std::string("Clone"),
        {{older, true, std::nullopt, false}, {newer, false, std::string("Copying files"), true}},
        now);
    ASSERT_TRUE(status);
    EXPECT_EQ(status->name, std::nullopt);
    EXPECT_EQ(status->destination, "Clone");
    EXPECT_EQ(status->lastSuccess, older);
    EXPECT_EQ(status->lastAttempt, newer);
    EXPECT_TRUE(status->failed);
    EXPECT_EQ(status->reason, "SuperDuper! stopped with an error while \u201CCopying files\u201D. "
                              "Open SuperDuper! and click View Log for the details.");

    auto noStep =
        superDuperStatus("Nightly", std::nullopt, {{newer, false, std::nullopt, true}}, now);
    EXPECT_EQ(
        noStep->reason,
        "SuperDuper! stopped with an error. Open SuperDuper! and click View Log for the details.");
    EXPECT_EQ(noStep->name, "Nightly");
    EXPECT_EQ(superDuperStatus("Nightly", std::nullopt, {}, now), std::nullopt);
}

TEST(SuperDuper, ReadsPackagesAndOnlyTheNewestLogs) {
    TempMac m;
    const std::string root = superDuperSettings(m.mac());
    EXPECT_EQ(readSuperDuper(m.mac(), root, now), std::nullopt);

    const std::string nightly = root + "/.Nightly.sdsp";
    m.write(nightly + "/Session Settings.sdss",
            "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>SDtargetVolumeName</key>"
            "<string>Clone</string></dict></plist>");
    // 25 runs a day apart; the oldest five (outside the newest 20) are the only completed ones.
    for (int i = 0; i < 25; ++i)
        m.write(nightly + "/Logs/" + logName(1'797'000'000 + i * 86400.0),
                i < 5 ? completedLog : failedLog);
    m.write(nightly + "/Logs/not a date.sdlog", completedLog);

    m.mkdir(root + "/Empty.sdsp"); // no Logs folder: no status
    m.write(root + "/Odd.sdsp/Logs", "a file where the folder should be");
    m.mkdir("/Users/ann/elsewhere.sdsp/Logs");
    m.write("/Users/ann/elsewhere.sdsp/Logs/" + logName(1'799'000'000), completedLog);
    m.link(m.host("/Users/ann/elsewhere.sdsp").string(), root + "/Linked.sdsp");

    auto statuses = readSuperDuper(m.mac(), root, now);
    ASSERT_TRUE(statuses);
    ASSERT_EQ(statuses->size(), 1u);
    const ToolStatus& s = (*statuses)[0];
    EXPECT_EQ(s.name, "Nightly");
    EXPECT_EQ(s.destination, "Clone");
    EXPECT_EQ(s.lastSuccess, std::nullopt);
    EXPECT_EQ(s.lastAttempt, dateFromUnix(1'797'000'000 + 24 * 86400.0));
    EXPECT_TRUE(s.failed);
}

TEST(SuperDuper, NewestLogsDoNotDependOnListingOrder) {
    const std::vector<std::string> names = {
        logName(1'797'000'000), logName(1'797'500'000), "notes.txt", logName(1'798'000'000),
        "2026-13-01 00:00:00 +0000.sdlog", logName(1'796'000'000),
        // The same moment written in two zones: name order decides between them.
        "2027-01-01 01:00:00 +0100.sdlog", "2027-01-01 00:00:00 +0000.sdlog"};
    const Date newYear = dateFromUnix(1'798'761'600); // 2027-01-01T00:00:00Z
    const std::vector<SuperDuperLog> expected = {
        {"2027-01-01 00:00:00 +0000.sdlog", newYear},
        {"2027-01-01 01:00:00 +0100.sdlog", newYear},
        {logName(1'798'000'000), dateFromUnix(1'798'000'000)}};
    std::vector<std::string> order = names;
    for (int round = 0; round < 2; ++round) {
        SuperDuperNewestLogs logs(3);
        for (const std::string& name : order)
            logs.offer(name);
        EXPECT_EQ(logs.newest(), expected) << "round " << round;
        std::reverse(order.begin(), order.end());
    }
}

TEST(SuperDuper, FindsTheNewestRunAmongManyLogs) {
    // More logs than any fixed slice of the listing, with the newest one listed late: the newest
    // run is found wherever the folder happens to list it.
    ManyFilesMac m;
    const std::string logs = superDuperSettings(m.mac()) + "/Nightly.sdsp/Logs";
    std::filesystem::create_directories(m.host(logs));
    constexpr int count = 12'000;
    // Create the logs in the order that lists the newest last where the folder lists names in
    // creation order or its reverse; a folder in hash order is handled below.
    std::filesystem::create_directories(m.host("/probe"));
    std::ofstream(m.host("/probe/first"));
    std::ofstream(m.host("/probe/second"));
    const bool listedAsCreated =
        std::filesystem::directory_iterator(m.host("/probe"))->path().filename() == "first";
    std::map<std::string, double> starts;
    for (int k = 0; k < count; ++k) {
        const int i = listedAsCreated ? k : count - 1 - k;
        const double start = 1'797'000'000 + i * 60.0;
        starts[logName(start)] = start;
        std::ofstream(m.host(logs + "/" + logName(start)));
    }
    const auto listing = [&] {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m.host(logs)))
            names.push_back(entry.path().filename().string());
        return names;
    };
    // Where the newest log is listed, after `from`.
    const auto newestAfter = [&](const std::vector<std::string>& names, std::size_t from) {
        std::size_t at = from;
        for (std::size_t i = from; i < names.size(); ++i)
            if (starts[names[i]] > starts[names[at]])
                at = i;
        return at;
    };
    std::vector<std::string> listed = listing();
    if (newestAfter(listed, 0) < 10'100) {
        // A folder listed in hash order: the newest of the names listed late becomes the newest
        // of all once every later one is removed.
        const double latest = starts[listed[newestAfter(listed, 10'100)]];
        for (const auto& [name, start] : starts)
            if (start > latest)
                std::filesystem::remove(m.host(logs + "/" + name));
        listed = listing();
    }
    const std::size_t position = newestAfter(listed, 0);
    ASSERT_GE(position, 10'000u) << "the newest log must be listed after the first 10,000 names";
    const std::string newest = listed[position];
    m.write(logs + "/" + newest, completedLog);

    auto statuses = readSuperDuper(m.mac(), superDuperSettings(m.mac()), now);
    ASSERT_TRUE(statuses);
    ASSERT_EQ(statuses->size(), 1u);
    EXPECT_EQ((*statuses)[0].lastAttempt, dateFromUnix(starts[newest]));
    EXPECT_EQ((*statuses)[0].lastSuccess, dateFromUnix(starts[newest]));
    EXPECT_FALSE((*statuses)[0].failed);
}

TEST(SuperDuper, InstalledWithoutUsablePackages) {
    TempMac m;
    m.mkdir("/Applications/SuperDuper!.app");
    const std::string root = superDuperSettings(m.mac());
    auto missingRoot = readSuperDuper(m.mac(), root, now);
    ASSERT_TRUE(missingRoot);
    EXPECT_TRUE((*missingRoot)[0].noBackupsSetUp);

    m.mkdir(root + "/Only.sdsp");
    auto noLogs = readSuperDuper(m.mac(), root, now);
    ASSERT_TRUE(noLogs);
    ASSERT_EQ(noLogs->size(), 1u);
    EXPECT_TRUE((*noLogs)[0].noBackupsSetUp);
}
