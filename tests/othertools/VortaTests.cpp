#include "othertools/Vorta.h"

#include "othertools/RunSQL.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace quorvane {
namespace {

using testing::TempMac;

// The tests run in Europe/Berlin: one hour ahead of UTC in winter, two in summer.
const Date now = dateFromUnix(1741132800); // 2025-03-05 00:00:00 UTC
constexpr double march1 = 1740787200;      // 2025-03-01 00:00:00 UTC
constexpr double hour = 3600, day = 86400;
Date utc(double seconds) {
    return dateFromUnix(seconds);
}

const std::string dbPath = "/Users/ann/Library/Application Support/Vorta/settings.db";
const std::string logPath = "/Users/ann/Library/Logs/Vorta/vorta.log";

ToolStatus status(std::optional<std::string> name, std::string destination,
                  std::optional<Date> lastSuccess, std::optional<Date> lastAttempt, bool failed,
                  bool warnings, std::optional<std::string> reason, std::string kind) {
    ToolStatus s(ToolStatus::Tool::vorta, std::move(name), std::move(destination), lastSuccess,
                 lastAttempt, failed, warnings, std::move(reason), std::nullopt, false, now);
    s.destinationKind = std::move(kind);
    return s;
}

ToolStatus whole(bool unreadable, bool noBackups) {
    ToolStatus s(ToolStatus::Tool::vorta, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                 false, false, std::nullopt, std::nullopt, unreadable, now);
    s.noBackupsSetUp = noBackups;
    return s;
}

TEST(VortaDate, ReadsLocalTimesWithAndWithoutFraction) {
    struct Case {
        std::optional<std::string> text;
        std::optional<Date> expected;
    };
    const std::vector<Case> cases = {
        {"2025-03-01 10:00:00", utc(march1 + 9 * hour)},
        {"2025-03-01 10:05:12.345678", utc(march1 + 9 * hour + 312.345678)},
        {"2025-07-01 12:00:00", utc(1751364000)}, // summer time: 10:00 UTC
        {std::nullopt, std::nullopt},
        {"", std::nullopt},
        {"2025-03-01 10:00:00.123", std::nullopt},
        {"2025-03-01T10:00:00", std::nullopt},
        {"2025-03-01 10:00:00+01:00", std::nullopt},
        {"2025-02-29 10:00:00", std::nullopt},
        {"1741132800", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text.value_or("(absent)"));
        auto parsed = vortaDate(c.text);
        ASSERT_EQ(parsed.has_value(), c.expected.has_value());
        if (parsed) {
            EXPECT_NEAR(unixSeconds(*parsed), unixSeconds(*c.expected), 1e-5);
        }
    }
}

TEST(VortaRepoLabel, ShowsFolderOrHost) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/Volumes/Disk/borg", "borg"},
        {"/Volumes/Disk/borg/", "borg"},
        {"/", "/"},
        {"ann@nas.local:borg", "nas.local"},
        {"ann@nas.local:/volume1/borg", "nas.local"},
        {"ssh://borg@backup.example.net:2222/./ann", "backup.example.net"},
        {"ssh://borg@backup.example.net/./ann", "backup.example.net"},
        {"ssh://ann@[2001:db8::1]:22/./repo", "[2001:db8::1]"},
        {"sftp://files.example.net/borg", "files.example.net"},
        {"ann@:borg", "a remote repository"},
        {"nas.local:borg", "a remote repository"},
        {"borg-repo", "a remote repository"},
        {"://nohost", "a remote repository"},
    };
    for (const auto& [url, label] : cases)
        EXPECT_EQ(vortaRepoLabel(url), label) << url;
}

TEST(VortaLogError, TakesTheLastBorgErrorInsideTheRunWithASecondsGrace) {
    // The run lasted from 21:00:00 to 21:00:42 local time (20:00 UTC).
    const Date start = utc(march1 + 20 * hour), end = utc(march1 + 20 * hour + 42);
    const std::string marker = " - vorta.borg.borg_job - ERROR - ";
    struct Case {
        const char* name;
        std::string log;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"half a second before the start", "2025-03-01 20:59:59,500" + marker + "early\n", "early"},
        {"one and a half seconds before", "2025-03-01 20:59:58,500" + marker + "early\n",
         std::nullopt},
        {"within a second after the end", "2025-03-01 21:00:43,000" + marker + "late\n", "late"},
        {"later than that", "2025-03-01 21:00:43,001" + marker + "late\n", std::nullopt},
        {"the last one wins",
         "2025-03-01 21:00:10,000" + marker + "first\n2025-03-01 21:00:20,000" + marker +
             "second\n2025-03-01 21:00:30,000 - vorta.borg.borg_job - INFO - fine\n",
         "second"},
        {"other loggers and levels do not count",
         "2025-03-01 21:00:10,000 - vorta.scheduler - ERROR - x\n"
         "2025-03-01 21:00:10,000 - vorta.borg.borg_job - WARNING - y\n",
         std::nullopt},
        {"white space is trimmed; an empty message is skipped",
         "2025-03-01 21:00:10,000" + marker + "  kept \r\n2025-03-01 21:00:11,000" + marker +
             "   \n",
         "kept"},
        {"a cut-off first line and a bad stamp are skipped",
         "01 21:00:10,000" + marker + "cut\n2025-03-01 21:00:10" + marker + "no millis\n",
         std::nullopt},
        {"a long message is cut to 300 characters",
         "2025-03-01 21:00:10,000" + marker + std::string(1000, 'm') + "\n", std::string(300, 'm')},
        {"no final line feed", "2025-03-01 21:00:10,000" + marker + "last", "last"},
        {"empty log", "", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(vortaLogError(c.log, start, end), c.expected);
    }
}

TEST(VortaStatuses, OneStatusPerProfileWithARepository) {
    const auto never = [](std::string_view) { return false; };
    const auto nothing = std::map<std::int64_t, Date>{};
    EXPECT_EQ(vortaStatuses({}, {}, nothing, never, now), std::vector{whole(false, true)});
    EXPECT_EQ(
        vortaStatuses({{1, "Default", std::nullopt}, {2, "Empty", ""}}, {}, nothing, never, now),
        std::vector{whole(false, true)});
    // Vorta's own "Default" profile alone needs no name; with another profile it is named.
    EXPECT_EQ(vortaStatuses({{1, "Default", "ann@nas.local:borg"}}, {}, nothing, never, now),
              std::vector{status(std::nullopt, "nas.local", std::nullopt, std::nullopt, false,
                                 false, std::nullopt, "remote")});
    EXPECT_EQ(vortaStatuses({{1, "Default", "ann@nas.local:borg"}, {2, "Disk", "/Volumes/D/b"}}, {},
                            nothing, never, now),
              (std::vector{status("Default", "nas.local", std::nullopt, std::nullopt, false, false,
                                  std::nullopt, "remote"),
                           status("Disk", "b", std::nullopt, std::nullopt, false, false,
                                  std::nullopt, "local")}));
}

TEST(VortaStatuses, JudgesTheLatestRun) {
    const Date t0 = utc(march1), t1 = utc(march1 + hour), t2 = utc(march1 + 2 * hour);
    const Date t3 = utc(march1 + 3 * hour);
    auto run = [](std::string profile, Date start, Date end, std::int64_t code,
                  std::optional<std::string> message = std::nullopt) {
        return VortaEvent{std::move(profile), "create", start, end, code, std::move(message)};
    };
    // The status of the profile "Home" (id 7), backing up to /Volumes/Disk/borg.
    auto home = [](std::optional<Date> lastSuccess, std::optional<Date> lastAttempt,
                   bool failed = false, bool warnings = false,
                   std::optional<std::string> reason = std::nullopt) {
        return status("Home", "borg", lastSuccess, lastAttempt, failed, warnings, std::move(reason),
                      "local");
    };
    const std::string gone = "can't find its repository folder \u201cborg\u201d. Is the disk "
                             "connected, or was the folder moved?";
    struct Case {
        const char* name;
        std::vector<VortaEvent> events;
        std::map<std::int64_t, Date> archives;
        bool folderMissing;
        ToolStatus expected;
    };
    // clang-format off
    const std::vector<Case> cases = {
        {"a good run, referred to by id", {run("7", t0, t1, 0)}, {}, false, home(t1, t0)},
        {"a good run, referred to by name", {run("Home", t0, t1, 0)}, {}, false, home(t1, t0)},
        {"other profiles and commands do not count",
         {run("8", t2, t3, 2), run("Other", t2, t3, 2),
          VortaEvent{"7", "prune", t2, t3, 2, std::nullopt},
          VortaEvent{std::nullopt, "create", t2, t3, 2, std::nullopt}},
         {}, false, home(std::nullopt, std::nullopt)},
        {"failed with a message", {run("7", t0, t1, 0), run("7", t2, t3, 2, "Repository is locked")},
         {}, false, home(t1, t2, true, false, "Vorta reported: Repository is locked")},
        {"failed without a message", {run("7", t0, t1, 0), run("7", t2, t3, 2, "")},
         {}, false, home(t1, t2, true, false, "Borg ended with error code 2.")},
        {"the newest start decides, whatever the order", {run("7", t2, t3, 0), run("7", t0, t1, 2)},
         {}, false, home(t3, t2)},
        {"a run without a start counts as oldest",
         {VortaEvent{"7", "create", std::nullopt, t3, 2, std::nullopt}, run("7", t0, t1, 0)},
         {}, false, home(t1, t0)},
        {"warnings with a message", {run("7", t0, t1, 1, "some files changed")},
         {}, false, home(t1, t0, false, true, "Finished with warnings: some files changed")},
        {"warnings without a message", {run("7", t0, t1, 1)},
         {}, false, home(t1, t0, false, true, "Finished with warnings.")},
        {"still running (or cut short) is neither failed nor good",
         {run("7", t0, t1, 0), run("7", t2, t2, -1)}, {}, false, home(t1, t2)},
        {"an archive made outside Vorta is newer", {run("7", t0, t1, 0)}, {{7, t3}}, false,
         home(t3, t0)},
        {"an older archive does not move the last success back", {run("7", t1, t2, 0)}, {{7, t0}},
         false, home(t2, t1)},
        {"another profile's archive does not count", {}, {{8, t3}}, false,
         home(std::nullopt, std::nullopt)},
        {"the repository folder is gone", {run("7", t0, t1, 0)}, {}, true,
         home(t1, t0, false, true, gone)},
        {"a failure outranks the missing folder", {run("7", t0, t1, 2)}, {}, true,
         home(std::nullopt, t0, true, true, "Borg ended with error code 2.")},
    };
    // clang-format on
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::string> asked;
        auto missing = [&](std::string_view folder) {
            asked.emplace_back(folder);
            return c.folderMissing;
        };
        auto statuses = vortaStatuses({{7, "Home", "/Volumes/Disk/borg"}, {9, "Spare", ""}},
                                      c.events, c.archives, missing, now);
        EXPECT_EQ(statuses, std::vector{c.expected});
        EXPECT_EQ(asked, std::vector<std::string>{"/Volumes/Disk/borg"});
    }
}

TEST(VortaStatuses, AsksAboutLocalRepositoriesOnly) {
    bool asked = false;
    auto missing = [&](std::string_view) { return asked = true; };
    auto statuses = vortaStatuses({{1, "Default", "ssh://u@h/./r"}}, {}, {}, missing, now);
    EXPECT_FALSE(asked);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_FALSE(statuses[0].warnings);
}

// The simulated Mac of the fixtures, copied so that a test may change it.
void copyFixture(const TempMac& mac, const std::string& name) {
    std::filesystem::copy(std::string(QUORVANE_FIXTURES) + "/vorta/" + name, mac.host("/"),
                          std::filesystem::copy_options::recursive |
                              std::filesystem::copy_options::overwrite_existing);
}

void execute(const TempMac& mac, const std::string& sql) {
    testing::runSQL(mac.host(dbPath), sql);
}

const std::string offsiteFailure =
    "Vorta reported: Connection closed by remote host. Is borg working on the server?";

// What the fixture Mac "mac" gives (made by make-fixtures.py with Vorta's own store code).
std::vector<ToolStatus> fixtureStatuses(std::optional<std::string> offsiteReason = offsiteFailure) {
    return {
        status("Documents", "borg", utc(march1 + day + 7 * hour), utc(march1 + 9 * hour), false,
               false, std::nullopt, "local"),
        status("Offsite", "backup.example.net", utc(march1 - day + 20 * hour + 1800),
               utc(march1 + 20 * hour), true, false, std::move(offsiteReason), "remote"),
        status("Photos", "borg", utc(march1 - 2 * day + 8 * hour + 1200),
               utc(march1 + day + 8 * hour), false, true,
               "can't find its repository folder \u201cborg\u201d. Is the disk connected, or was "
               "the folder moved?",
               "local"),
    };
}

TEST(ReadVorta, ReadsVortasOwnDatabaseAndLog) {
    const Mac fixture{QUORVANE_FIXTURES "/vorta/mac", "/Users/ann"};
    EXPECT_EQ(vortaDatabase(fixture), dbPath);
    EXPECT_EQ(vortaLog(fixture), logPath);
    EXPECT_EQ(readVorta(fixture, dbPath, logPath, now), fixtureStatuses());

    const Mac single{QUORVANE_FIXTURES "/vorta/default", "/Users/ann"};
    EXPECT_EQ(readVorta(single, dbPath, logPath, now),
              std::vector{status(std::nullopt, "nas.local", utc(march1 + day + 11 * hour + 540),
                                 utc(march1 + day + 11 * hour), false, true,
                                 "Finished with warnings.", "remote")});
}

TEST(ReadVorta, SeesCommittedRowsStillInTheLogWhileVortaWrites) {
    TempMac mac;
    copyFixture(mac, "mac");
    sqlite3* vorta = nullptr;
    ASSERT_EQ(sqlite3_open(mac.host(dbPath).c_str(), &vorta), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(vorta,
                           "PRAGMA wal_autocheckpoint = 0;"
                           "INSERT INTO eventlogmodel (start_time, end_time, category, subcommand, "
                           "returncode, profile) VALUES ('2025-03-01 22:00:00', "
                           "'2025-03-01 22:10:00', 'user', 'create', 0, '2');"
                           "BEGIN EXCLUSIVE;"
                           "INSERT INTO eventlogmodel (start_time, end_time, category, subcommand, "
                           "returncode, profile) VALUES ('2025-03-02 22:00:00', "
                           "'2025-03-02 22:00:00', 'user', 'create', 2, '2');",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_TRUE(std::filesystem::exists(mac.host(dbPath + "-wal")));
    auto expected = fixtureStatuses();
    expected[1] = status("Offsite", "backup.example.net", utc(march1 + 21 * hour + 600),
                         utc(march1 + 21 * hour), false, false, std::nullopt, "remote");
    EXPECT_EQ(readVorta(mac.mac(), dbPath, logPath, now), expected);
    sqlite3_exec(vorta, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(vorta);
}

TEST(ReadVorta, ReportsWhatItCannotRead) {
    const std::optional<std::vector<ToolStatus>> unreadable = std::vector{whole(true, false)};
    struct Case {
        const char* name;
        std::function<void(const TempMac&)> setUp;
        std::optional<std::vector<ToolStatus>> expected;
    };
    const std::vector<Case> cases = {
        {"no database", [](const TempMac&) {}, std::nullopt},
        {"database is a link",
         [](const TempMac& m) {
             copyFixture(m, "mac");
             std::filesystem::rename(m.host(dbPath), m.host("/Users/ann/settings.db"));
             m.link(m.host("/Users/ann/settings.db").string(), dbPath);
         },
         unreadable},
        {"not a database", [](const TempMac& m) { m.write(dbPath, std::string(8192, 'v')); },
         unreadable},
        {"a table missing",
         [](const TempMac& m) {
             copyFixture(m, "mac");
             execute(m, "DROP TABLE archivemodel;");
         },
         unreadable},
        {"the event query fails",
         [](const TempMac& m) {
             copyFixture(m, "mac");
             execute(m, "ALTER TABLE eventlogmodel DROP COLUMN message;");
         },
         unreadable},
        {"damaged: the pages after the first are cut off",
         [](const TempMac& m) {
             copyFixture(m, "mac");
             std::filesystem::resize_file(m.host(dbPath), 4096);
         },
         unreadable},
        {"the archive query fails: the event log alone decides",
         [](const TempMac& m) {
             copyFixture(m, "mac");
             execute(m, "ALTER TABLE archivemodel DROP COLUMN time;");
         },
         [] {
             auto statuses = fixtureStatuses();
             statuses[0].lastSuccess = utc(march1 + 9 * hour + 312.345678);
             return statuses;
         }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempMac mac;
        c.setUp(mac);
        EXPECT_EQ(readVorta(mac.mac(), dbPath, logPath, now), c.expected);
    }
}

TEST(ReadVorta, ReadsOnlyTheTailOfARegularLog) {
    const std::string errorLine = "2025-03-01 21:00:42,100 - vorta.borg.borg_job - ERROR - "
                                  "Connection closed by remote host.\n";
    const std::string filler =
        "2025-03-01 21:00:01,000 - vorta.borg.borg_job - INFO - " + std::string(200, '.') + "\n";
    std::string padding;
    while (padding.size() <= vortaLogTail)
        padding += filler;
    const std::string noMessage = "Borg ended with error code 2.";
    struct Case {
        const char* name;
        std::function<void(const TempMac&)> setUp;
        std::string reason;
    };
    const std::vector<Case> cases = {
        {"no log", [](const TempMac& m) { std::filesystem::remove(m.host(logPath)); }, noMessage},
        {"a link to the log",
         [&](const TempMac& m) {
             m.write("/Users/ann/real.log", errorLine);
             std::filesystem::remove(m.host(logPath));
             m.link(m.host("/Users/ann/real.log").string(), logPath);
         },
         noMessage},
        {"a folder",
         [](const TempMac& m) {
             std::filesystem::remove(m.host(logPath));
             m.mkdir(logPath);
         },
         noMessage},
        {"a huge log with the error at its end",
         [&](const TempMac& m) { m.write(logPath, padding + padding + errorLine); },
         "Vorta reported: Connection closed by remote host."},
        {"a huge log with the error before its last 256 KiB",
         [&](const TempMac& m) { m.write(logPath, errorLine + padding); }, noMessage},
        {"invalid UTF-8 in the message",
         [](const TempMac& m) {
             m.write(logPath, "2025-03-01 21:00:42,100 - vorta.borg.borg_job - ERROR - bad \xff "
                              "byte\n");
         },
         "Vorta reported: bad \uFFFD byte"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempMac mac;
        copyFixture(mac, "mac");
        c.setUp(mac);
        auto statuses = readVorta(mac.mac(), dbPath, logPath, now);
        ASSERT_TRUE(statuses && statuses->size() == 3);
        EXPECT_EQ((*statuses)[1].reason, c.reason);
    }
}

TEST(ReadVorta, TakesAtMostTheJobCapOfProfilesWithARepository) {
    TempMac mac;
    copyFixture(mac, "mac");
    // 10,001 profiles with a repository among 30,004; those without give no status and do not
    // count towards the cap.
    execute(mac, "DROP TABLE backupprofilemodel;"
                 "CREATE TABLE backupprofilemodel (id INTEGER PRIMARY KEY, name TEXT, repo_id INT);"
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 30005)"
                 "  INSERT INTO backupprofilemodel"
                 "  SELECT i, 'P' || i, CASE WHEN i % 3 = 0 THEN 2 ELSE NULL END FROM n;");
    const std::optional<std::vector<ToolStatus>> statuses =
        readVorta(mac.mac(), dbPath, logPath, now);
    ASSERT_TRUE(statuses);
    ASSERT_EQ(statuses->size(), 10'000u);
    EXPECT_EQ(statuses->back().name, "P30000");

    const std::vector<VortaProfile> profiles(10'001, VortaProfile{1, "A", "/Volumes/B/borg"});
    EXPECT_EQ(vortaStatuses(profiles, {}, {}, nullptr, now).size(), 10'000u);
}

} // namespace
} // namespace quorvane
