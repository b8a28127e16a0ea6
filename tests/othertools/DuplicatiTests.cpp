#include "othertools/Duplicati.h"

#include "othertools/RunSQL.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace quorvane {
namespace {

using testing::TempMac;

const Date now = dateFromUnix(1741132800); // 2025-03-05 00:00:00 UTC
const std::string home = "/Users/ann";

Date utc(double seconds) {
    return dateFromUnix(seconds);
}
// 2025-03-01 00:00:00 UTC, and the other days of the fixtures.
constexpr double march1 = 1740787200;

std::string fixture(const std::string& name) {
    std::ifstream in(QUORVANE_FIXTURES "/duplicati/" + name);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Builds a database at the Mac path `path` from SQL text.
void makeDatabase(const TempMac& mac, const std::string& path, const std::string& sql) {
    testing::runSQL(mac.host(path), sql);
}

ToolStatus status(std::string name, std::optional<Date> lastSuccess,
                  std::optional<Date> lastAttempt, bool failed, std::optional<std::string> reason,
                  std::optional<std::string> kind) {
    ToolStatus s(ToolStatus::Tool::duplicati, std::move(name), std::nullopt, lastSuccess,
                 lastAttempt, failed, false, std::move(reason), std::nullopt, false, now);
    s.destinationKind = std::move(kind);
    return s;
}

ToolStatus whole(bool unreadable, bool noBackups) {
    ToolStatus s(ToolStatus::Tool::duplicati, std::nullopt, std::nullopt, std::nullopt,
                 std::nullopt, false, false, std::nullopt, std::nullopt, unreadable, now);
    s.noBackupsSetUp = noBackups;
    return s;
}

TEST(DuplicatiDate, ReadsOnlyTheCompactUTCForm) {
    struct Case {
        const char* name;
        std::optional<std::string> text;
        std::optional<Date> expected;
    };
    const std::vector<Case> cases = {
        {"compact form", "20250301T140509Z", utc(march1 + 14 * 3600 + 5 * 60 + 9)},
        {"leap day", "20240229T000000Z", utc(1709164800)},
        {"absent", std::nullopt, std::nullopt},
        {"empty", "", std::nullopt},
        {"with separators", "2025-03-01T14:05:09Z", std::nullopt},
        {"with an offset", "20250301T140509+0100", std::nullopt},
        {"without Z", "20250301T140509", std::nullopt},
        {"lower-case t", "20250301t140509Z", std::nullopt},
        {"trailing text", "20250301T140509Z ", std::nullopt},
        {"month 13", "20251301T140509Z", std::nullopt},
        {"30 February", "20250230T140509Z", std::nullopt},
        {"hour 24", "20250301T240000Z", std::nullopt},
        {"second 60", "20250301T235960Z", std::nullopt},
        {"sign in a field", "2025-301T140509Z", std::nullopt},
        {"ticks, as .NET writes them", "638764227090000000", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(duplicatiDate(c.text), c.expected);
    }
}

TEST(DuplicatiKind, NamesTheSchemeButNeverAnEncryptedURL) {
    struct Case {
        std::optional<std::string> url;
        std::optional<std::string> expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt},
        {"file:///Volumes/Backup/duplicati", "local"},
        {"FILE://C:\\backup", "local"},
        {"ssh://nas.local/backup", "sftp"},
        {"ftp://ftp.example.net/b", "sftp"},
        {"aftp://ftp.example.net/b", "sftp"},
        {"webdav://dav.example.net/b", "sftp"},
        {"smb://nas/share", "sftp"},
        {"s3://bucket/mac", "s3"},
        {"B2://bucket/mac", "b2"},
        {"googledrive://folder?authid=x", "googledrive"},
        {"ÜBERCLOUD://bucket", "übercloud"},
        {"ΣΕΡΒΕΡ://x", "σερβερ"},
        {"\xff"
         "Bad://x",
         "\uFFFDbad"},
        {"enc-v1:3q2+7w8/cGFzc3dvcmQ=", std::nullopt},
        {"/Volumes/Backup/duplicati", std::nullopt},
        {":nothing-before", std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url.value_or("(absent)"));
        EXPECT_EQ(duplicatiKind(c.url), c.expected);
    }
}

TEST(DuplicatiStatuses, NoJobsMeansNoBackupsSetUp) {
    EXPECT_EQ(duplicatiStatuses({}, now), std::vector<ToolStatus>{whole(false, true)});
}

TEST(DuplicatiStatuses, DecidesFailureFromTheNewestDates) {
    const std::string longMessage(1000, 'x');
    const std::string started = "20250301T100000Z", finished = "20250301T100512Z";
    const Date startedAt = utc(march1 + 36000), finishedAt = utc(march1 + 36312);
    struct Case {
        const char* name;
        std::map<std::string, std::string> metadata;
        ToolStatus expected;
    };
    const std::vector<Case> cases = {
        {"an old error stays recorded after a good run",
         {{"LastBackupStarted", started},
          {"LastBackupFinished", finished},
          {"LastErrorDate", "20250220T080000Z"},
          {"LastErrorMessage", "Old trouble"}},
         status("Job", finishedAt, startedAt, false, std::nullopt, std::nullopt)},
        {"an error newer than the last good run",
         {{"LastBackupStarted", started},
          {"LastBackupFinished", finished},
          {"LastErrorDate", "20250302T080000Z"},
          {"LastErrorMessage", "Disk full"}},
         status("Job", finishedAt, utc(march1 + 86400 + 28800), true,
                "Duplicati reported: Disk full", std::nullopt)},
        {"an error at the same second as the good run is not newer",
         {{"LastBackupFinished", finished}, {"LastErrorDate", finished}},
         status("Job", finishedAt, std::nullopt, false, std::nullopt, std::nullopt)},
        {"an error and no backup at all",
         {{"LastErrorDate", finished}},
         status("Job", std::nullopt, finishedAt, true, "Duplicati reported an error.",
                std::nullopt)},
        {"an empty message",
         {{"LastErrorDate", finished}, {"LastErrorMessage", ""}},
         status("Job", std::nullopt, finishedAt, true, "Duplicati reported an error.",
                std::nullopt)},
        {"a long message is cut to 300 characters",
         {{"LastErrorDate", finished}, {"LastErrorMessage", longMessage}},
         status("Job", std::nullopt, finishedAt, true,
                "Duplicati reported: " + std::string(300, 'x'), std::nullopt)},
        {"only LastBackupDate",
         {{"LastBackupDate", finished}},
         status("Job", finishedAt, std::nullopt, false, std::nullopt, std::nullopt)},
        {"an unreadable LastBackupFinished falls back to LastBackupDate",
         {{"LastBackupFinished", "2025-03-01 10:05:12"}, {"LastBackupDate", finished}},
         status("Job", finishedAt, std::nullopt, false, std::nullopt, std::nullopt)},
        {"no usable dates",
         {{"LastBackupFinished", "yesterday"}, {"BackupListCount", "3"}},
         status("Job", std::nullopt, std::nullopt, false, std::nullopt, std::nullopt)},
        {"a date in the future beyond a day is dropped",
         {{"LastBackupFinished", "20990101T000000Z"}},
         status("Job", std::nullopt, std::nullopt, false, std::nullopt, std::nullopt)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DuplicatiJob job{7, "Job", std::nullopt, c.metadata};
        EXPECT_EQ(duplicatiStatuses({job}, now), std::vector<ToolStatus>{c.expected});
    }
}

TEST(DuplicatiStatuses, CutsMessagesAtWholeCharacters) {
    // "e" with a combining acute accent is one character of three bytes.
    std::string accented;
    for (int i = 0; i < 301; ++i)
        accented += "e\xCC\x81";
    DuplicatiJob job{1,
                     "Job",
                     "s3://b",
                     {{"LastErrorDate", "20250301T000000Z"}, {"LastErrorMessage", accented}}};
    auto statuses = duplicatiStatuses({job}, now);
    ASSERT_EQ(statuses.size(), 1u);
    EXPECT_EQ(statuses[0].reason, "Duplicati reported: " + accented.substr(0, 900));
    EXPECT_EQ(statuses[0].destinationKind, "s3");
}

// What the jobs in jobs.sql give, whichever column order the "Backup" table has.
std::vector<ToolStatus> fixtureStatuses() {
    return {
        status("Documents", utc(march1 + 36312), utc(march1 + 36000), false, std::nullopt, "local"),
        status("Photos", utc(march1 - 86400 + 77400), utc(march1 + 75642), true,
               "Duplicati reported: Failed to connect: Connection refused", "sftp"),
        status("Music", utc(march1 + 86400 + 28800), std::nullopt, false, std::nullopt, "s3"),
        status("Projects", std::nullopt, utc(march1 + 86400 + 32465), true,
               "Duplicati reported an error.", std::nullopt),
    };
}

TEST(ReadDuplicati, ReadsBothColumnOrders) {
    for (const char* schema : {"schema-old.sql", "schema-new.sql"}) {
        SCOPED_TRACE(schema);
        TempMac mac(home);
        const std::string path = duplicatiDatabase(mac.mac());
        EXPECT_EQ(path, "/Users/ann/Library/Application Support/Duplicati/Duplicati-server.sqlite");
        makeDatabase(mac, path, fixture(schema) + fixture("jobs.sql"));
        EXPECT_EQ(readDuplicati(mac.mac(), path, now), fixtureStatuses());
        // The database is left as it was: nothing written beside it.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(mac.host(path).parent_path()),
                                std::filesystem::directory_iterator{}),
                  1);
    }
}

TEST(ReadDuplicati, ReadsALockedDatabaseThroughItsCopy) {
    TempMac mac(home);
    const std::string path = duplicatiDatabase(mac.mac());
    makeDatabase(mac, path, fixture("schema-new.sql") + fixture("jobs.sql"));
    // Duplicati in the middle of writing: an exclusive lock and an uncommitted change.
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(mac.host(path).c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer,
                           "BEGIN EXCLUSIVE; UPDATE Metadata SET Value = '20250304T000000Z' "
                           "WHERE Name = 'LastBackupFinished';",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    EXPECT_EQ(readDuplicati(mac.mac(), path, now), fixtureStatuses());
    sqlite3_exec(writer, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
}

TEST(ReadDuplicati, ReportsWhatItCannotRead) {
    const std::string path =
        "/Users/ann/Library/Application Support/Duplicati/Duplicati-server.sqlite";
    const std::string good = fixture("schema-new.sql") + fixture("jobs.sql");
    const std::optional<std::vector<ToolStatus>> unreadable = std::vector{whole(true, false)};
    const std::optional<std::vector<ToolStatus>> noBackups = std::vector{whole(false, true)};
    struct Case {
        const char* name;
        std::function<void(const TempMac&)> setUp;
        std::optional<std::vector<ToolStatus>> expected;
    };
    const std::vector<Case> cases = {
        {"neither database nor application", [](const TempMac&) {}, std::nullopt},
        {"application without a database",
         [](const TempMac& m) { m.mkdir("/Applications/Duplicati.app/Contents"); }, noBackups},
        {"no jobs", [&](const TempMac& m) { makeDatabase(m, path, fixture("schema-old.sql")); },
         noBackups},
        {"database is a link",
         [&](const TempMac& m) {
             makeDatabase(m, "/Users/ann/elsewhere.sqlite", good);
             m.link(m.host("/Users/ann/elsewhere.sqlite").string(), path);
         },
         unreadable},
        {"not a database", [&](const TempMac& m) { m.write(path, std::string(8192, 'x')); },
         unreadable},
        {"no Metadata table",
         [&](const TempMac& m) {
             makeDatabase(m, path, fixture("schema-new.sql") + "DROP TABLE Metadata;");
         },
         unreadable},
        {"Backup is a view",
         [&](const TempMac& m) {
             makeDatabase(m, path,
                          "CREATE TABLE Jobs (ID INTEGER, Name TEXT, TargetURL TEXT);"
                          "CREATE VIEW Backup AS SELECT * FROM Jobs;"
                          "CREATE TABLE Metadata (BackupID INTEGER, Name TEXT, Value TEXT);");
         },
         unreadable},
        {"damaged: the pages after the schema are cut off",
         [&](const TempMac& m) {
             makeDatabase(m, path, "PRAGMA page_size = 4096;" + good);
             std::filesystem::resize_file(m.host(path), 4096);
         },
         unreadable},
        {"a job without a name",
         [&](const TempMac& m) {
             makeDatabase(
                 m, path,
                 "CREATE TABLE Backup (ID INTEGER PRIMARY KEY, Name TEXT, TargetURL TEXT);"
                 "CREATE TABLE Metadata (BackupID INTEGER, Name TEXT, Value TEXT);"
                 "INSERT INTO Backup VALUES (1, NULL, NULL);"
                 "INSERT INTO Metadata VALUES (1, NULL, 'x'), (1, 'LastBackupDate', NULL);");
         },
         std::vector{
             status("Backup", std::nullopt, std::nullopt, false, std::nullopt, std::nullopt)}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempMac mac(home);
        c.setUp(mac);
        EXPECT_EQ(readDuplicati(mac.mac(), path, now), c.expected);
    }
}

TEST(ReadDuplicati, TakesAtMostTheJobCap) {
    TempMac mac(home);
    const std::string path = duplicatiDatabase(mac.mac());
    makeDatabase(mac, path,
                 "CREATE TABLE Backup (ID INTEGER PRIMARY KEY, Name TEXT, TargetURL TEXT);"
                 "CREATE TABLE Metadata (BackupID INTEGER, Name TEXT, Value TEXT);"
                 "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 10001)"
                 "  INSERT INTO Backup SELECT i, 'Job ' || i, 'file:///Volumes/B' FROM n;"
                 "INSERT INTO Metadata SELECT ID, 'LastBackupFinished', '20250301T100000Z' "
                 "  FROM Backup;"
                 "INSERT INTO Metadata SELECT ID, 'Unused', 'x' FROM Backup;");
    const std::optional<std::vector<ToolStatus>> statuses = readDuplicati(mac.mac(), path, now);
    ASSERT_TRUE(statuses);
    ASSERT_EQ(statuses->size(), 10'000u);
    EXPECT_EQ(statuses->back(), status("Job 10000", utc(march1 + 10 * 3600), std::nullopt, false,
                                       std::nullopt, "local"));
    EXPECT_EQ(
        duplicatiStatuses(std::vector<DuplicatiJob>(10'001, DuplicatiJob{1, "A", {}, {}}), now)
            .size(),
        10'000u);
}

} // namespace
} // namespace quorvane
