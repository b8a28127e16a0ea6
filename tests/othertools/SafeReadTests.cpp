#include "othertools/SafeRead.h"

#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {
namespace {

namespace fs = std::filesystem;

const Mac fixtureMac{QUORVANE_FIXTURES "/saferead/mac", "/Users/ann"};

std::optional<std::string> asString(const std::optional<Bytes>& bytes) {
    if (!bytes)
        return std::nullopt;
    return std::string(bytes->begin(), bytes->end());
}

struct SmallFileCase {
    const char* name;
    const char* path;
    std::size_t max;
    std::optional<std::string> expected;
};

TEST(ReadSmallFile, ReadsOnlySmallRegularFiles) {
    const std::vector<SmallFileCase> cases = {
        {"well under the limit", "/Users/ann/notes.txt", 100, "hello\n"},
        {"exactly the limit", "/Users/ann/notes.txt", 6, "hello\n"},
        {"one byte over the limit", "/Users/ann/notes.txt", 5, std::nullopt},
        {"link to a file", "/Users/ann/link-to-notes.txt", 100, std::nullopt},
        {"folder", "/Users/ann/folder", 100, std::nullopt},
        {"link to a folder", "/Users/ann/link-to-folder", 100, std::nullopt},
        {"empty file", "/Users/ann/empty.txt", 100, std::nullopt},
        {"missing file", "/Users/ann/missing.txt", 100, std::nullopt},
        {"device", "/dev/null", 100, std::nullopt},
    };
    for (const SmallFileCase& c : cases) {
        SCOPED_TRACE(c.name);
        // /dev/null is read from the machine itself, the rest from the fixture Mac.
        const Mac mac = std::string(c.path).starts_with("/dev") ? Mac{"/", "/root"} : fixtureMac;
        EXPECT_EQ(asString(readSmallFile(mac, c.path, c.max)), c.expected);
        EXPECT_EQ(readSmallText(mac, c.path, c.max), c.expected);
    }
}

TEST(ReadSmallText, ReplacesInvalidUTF8) {
    EXPECT_EQ(readSmallText(fixtureMac, "/Users/ann/invalid.txt", 100),
              "caf\xc3\xa9 \xef\xbf\xbd ok \xef\xbf\xbd\n");
}

TEST(IsRealDirectory, AcceptsOnlyTheFolderItself) {
    EXPECT_TRUE(isRealDirectory(fixtureMac, "/Users/ann/folder"));
    EXPECT_TRUE(isRealDirectory(fixtureMac, "/"));
    EXPECT_FALSE(isRealDirectory(fixtureMac, "/Users/ann/link-to-folder"));
    EXPECT_FALSE(isRealDirectory(fixtureMac, "/Users/ann/notes.txt"));
    EXPECT_FALSE(isRealDirectory(fixtureMac, "/Users/ann/missing"));
}

// A simulated Mac in a fresh temporary folder, with its own TMPDIR beside it so the tests can
// see SafeSQLite's private folders come and go. The folder stays behind when a test fails.
class SafeReadTemp : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qv-saferead-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        fs::create_directories(base_ / "mac/Users/ann");
        fs::create_directories(base_ / "tmp");
        if (const char* old = std::getenv("TMPDIR"))
            oldTmp_ = old;
        ::setenv("TMPDIR", (base_ / "tmp").c_str(), 1);
        mac_ = Mac{(base_ / "mac").string(), "/Users/ann"};
    }

    void TearDown() override {
        if (oldTmp_)
            ::setenv("TMPDIR", oldTmp_->c_str(), 1);
        else
            ::unsetenv("TMPDIR");
        if (!HasFailure())
            fs::remove_all(base_);
    }

    fs::path host(const std::string& macPath) const { return mac_.hostPath(macPath); }

    // The private copies SafeSQLite has made and not yet removed.
    std::vector<fs::path> privateFolders() const {
        std::vector<fs::path> found;
        for (const auto& entry : fs::directory_iterator(base_ / "tmp"))
            found.push_back(entry.path());
        return found;
    }

    void makeDatabase(const std::string& macPath, const std::string& sql) const {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(host(macPath).c_str(), &db), SQLITE_OK);
        char* error = nullptr;
        int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
        EXPECT_EQ(rc, SQLITE_OK) << (error ? error : "");
        sqlite3_free(error);
        sqlite3_close(db);
    }

    static std::string contents(const fs::path& file) {
        std::ifstream in(file, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static std::vector<std::string> names(SafeSQLite& db, const std::string& sql, bool* finished) {
        std::vector<std::string> result;
        *finished = db.rows(sql, [&](sqlite3_stmt* stmt) {
            result.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0)));
        });
        return result;
    }

    fs::path base_;
    std::optional<std::string> oldTmp_;
    Mac mac_;
};

const char* const jobsSQL = "CREATE TABLE jobs(name TEXT);"
                            "INSERT INTO jobs VALUES ('Photos'), ('Documents');";

TEST_F(SafeReadTemp, SmallFileReadersRefusePipes) {
    ASSERT_EQ(::mkfifo(host("/Users/ann/pipe").c_str(), 0644), 0);
    EXPECT_EQ(readSmallFile(mac_, "/Users/ann/pipe", 100), std::nullopt);
}

TEST_F(SafeReadTemp, SmallFileReadersRefuseUnreadableFiles) {
    std::ofstream(host("/Users/ann/secret.txt")) << "secret";
    ::chmod(host("/Users/ann/secret.txt").c_str(), 0);
    if (::geteuid() == 0)
        GTEST_SKIP() << "root reads files whatever their mode";
    EXPECT_EQ(readSmallFile(mac_, "/Users/ann/secret.txt", 100), std::nullopt);
}

TEST_F(SafeReadTemp, SafeSQLiteQueriesAPrivateCopyAndLeavesTheOriginalAlone) {
    makeDatabase("/Users/ann/settings.db", jobsSQL);
    const fs::path original = host("/Users/ann/settings.db");
    const std::string before = contents(original);

    std::optional<SafeSQLite> db =
        SafeSQLite::copying(mac_, "/Users/ann/settings.db", {"jobs"}, 1'000'000, 3);
    ASSERT_TRUE(db);
    std::vector<fs::path> folders = privateFolders();
    ASSERT_EQ(folders.size(), 1u);
    EXPECT_TRUE(folders[0].filename().string().starts_with("qv-db-"));
    EXPECT_EQ(folders[0].filename().string().size(), 6u + 36u);
    EXPECT_TRUE(fs::is_regular_file(folders[0] / "db.sqlite"));
    EXPECT_EQ(fs::status(folders[0]).permissions() & fs::perms::all, fs::perms::owner_all);

    bool finished = false;
    EXPECT_EQ(names(*db, "SELECT name FROM jobs ORDER BY rowid", &finished),
              (std::vector<std::string>{"Photos", "Documents"}));
    EXPECT_TRUE(finished);
    // Untrusted schema and queries only, whatever the copied database asks for.
    EXPECT_EQ(names(*db, "PRAGMA trusted_schema", &finished), std::vector<std::string>{"0"});
    EXPECT_EQ(names(*db, "PRAGMA query_only", &finished), std::vector<std::string>{"1"});
    EXPECT_FALSE(db->rows("INSERT INTO jobs VALUES ('Injected')", [](sqlite3_stmt*) {}));
    EXPECT_FALSE(db->rows("SELEKT nonsense", [](sqlite3_stmt*) {}));
    EXPECT_FALSE(db->rows("", [](sqlite3_stmt*) {}));
    EXPECT_EQ(names(*db, "SELECT count(*) FROM jobs", &finished), std::vector<std::string>{"2"});

    db->close();
    EXPECT_TRUE(privateFolders().empty());
    EXPECT_EQ(db->db(), nullptr);
    EXPECT_FALSE(db->rows("SELECT 1", [](sqlite3_stmt*) {}));
    db->close(); // a second close does nothing

    EXPECT_EQ(contents(original), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(original.parent_path()), {}), 1);
}

TEST_F(SafeReadTemp, SafeSQLiteClosesOnceWhenMovedAndReleased) {
    makeDatabase("/Users/ann/settings.db", jobsSQL);
    {
        std::optional<SafeSQLite> first =
            SafeSQLite::copying(mac_, "/Users/ann/settings.db", {"jobs"}, 1'000'000, 3);
        ASSERT_TRUE(first);
        SafeSQLite moved = std::move(*first);
        EXPECT_EQ(first->db(), nullptr);
        first->close(); // the moved-from object owns nothing
        EXPECT_EQ(privateFolders().size(), 1u);

        std::optional<SafeSQLite> second =
            SafeSQLite::copying(mac_, "/Users/ann/settings.db", {}, 1'000'000, 3);
        ASSERT_TRUE(second);
        EXPECT_EQ(privateFolders().size(), 2u);
        moved = std::move(*second); // closes the first copy
        EXPECT_EQ(privateFolders().size(), 1u);
        EXPECT_TRUE(moved.rows("SELECT name FROM jobs", [](sqlite3_stmt*) {}));
    }
    EXPECT_TRUE(privateFolders().empty());
}

TEST_F(SafeReadTemp, SafeSQLiteRefusesHostileDatabases) {
    makeDatabase("/Users/ann/settings.db", std::string(jobsSQL) +
                                               "CREATE VIEW runs AS SELECT name FROM jobs;"
                                               "CREATE INDEX byName ON jobs(name);");
    const std::size_t size = fs::file_size(host("/Users/ann/settings.db"));
    fs::create_symlink("settings.db", host("/Users/ann/link.db"));
    fs::create_directory(host("/Users/ann/folder.db"));
    ASSERT_EQ(::mkfifo(host("/Users/ann/pipe.db").c_str(), 0644), 0);
    std::ofstream(host("/Users/ann/empty.db")).flush();
    std::ofstream(host("/Users/ann/text.db")) << "This is a plain text file, not a database.\n";

    struct Case {
        const char* name;
        const char* path;
        std::vector<std::string> tables;
        std::size_t maxBytes;
    };
    const std::vector<Case> cases = {
        {"link to a valid database", "/Users/ann/link.db", {"jobs"}, size},
        {"one byte over the limit", "/Users/ann/settings.db", {"jobs"}, size - 1},
        {"missing file", "/Users/ann/missing.db", {"jobs"}, size},
        {"folder", "/Users/ann/folder.db", {}, size},
        {"pipe", "/Users/ann/pipe.db", {}, size},
        {"empty file", "/Users/ann/empty.db", {}, size},
        {"not a database", "/Users/ann/text.db", {}, size},
        {"not a database, tables required", "/Users/ann/text.db", {"jobs"}, size},
        {"required name is a view", "/Users/ann/settings.db", {"jobs", "runs"}, size},
        {"required name is an index", "/Users/ann/settings.db", {"byName"}, size},
        {"required table missing", "/Users/ann/settings.db", {"jobs", "archives"}, size},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_FALSE(SafeSQLite::copying(mac_, c.path, c.tables, c.maxBytes, 3));
        EXPECT_TRUE(privateFolders().empty());
    }

    // The same database at exactly the limit is accepted, and its view can be read.
    std::optional<SafeSQLite> db =
        SafeSQLite::copying(mac_, "/Users/ann/settings.db", {"jobs"}, size, 3);
    ASSERT_TRUE(db);
    bool finished = false;
    EXPECT_EQ(names(*db, "SELECT name FROM runs ORDER BY name", &finished),
              (std::vector<std::string>{"Documents", "Photos"}));
    EXPECT_TRUE(finished);
}

TEST_F(SafeReadTemp, SafeSQLiteWritesNothingThroughTriggers) {
    makeDatabase("/Users/ann/settings.db",
                 std::string(jobsSQL) + "CREATE TABLE audit(note TEXT);"
                                        "CREATE TRIGGER onInsert AFTER INSERT ON jobs BEGIN "
                                        "  INSERT INTO audit VALUES ('fired'); END;"
                                        "CREATE TRIGGER onDelete BEFORE DELETE ON jobs BEGIN "
                                        "  INSERT INTO audit VALUES ('fired'); END;");
    const std::string before = contents(host("/Users/ann/settings.db"));
    std::optional<SafeSQLite> db =
        SafeSQLite::copying(mac_, "/Users/ann/settings.db", {"jobs", "audit"}, 1'000'000, 3);
    ASSERT_TRUE(db);
    EXPECT_FALSE(db->rows("INSERT INTO jobs VALUES ('x')", [](sqlite3_stmt*) {}));
    EXPECT_FALSE(db->rows("DELETE FROM jobs", [](sqlite3_stmt*) {}));
    EXPECT_FALSE(db->rows("DROP TRIGGER onInsert", [](sqlite3_stmt*) {}));
    bool finished = false;
    EXPECT_EQ(names(*db, "SELECT count(*) FROM audit", &finished), std::vector<std::string>{"0"});
    EXPECT_EQ(names(*db, "SELECT count(*) FROM jobs", &finished), std::vector<std::string>{"2"});
    db->close();
    EXPECT_EQ(contents(host("/Users/ann/settings.db")), before);
}

TEST_F(SafeReadTemp, SafeSQLiteReadsRowsThatAreOnlyInTheLog) {
    // A writer that keeps its log: 'old' is in the database file, 'new' only in the log.
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(host("/Users/ann/settings.db").c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer,
                           "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
                           "CREATE TABLE jobs(name TEXT, payload BLOB);"
                           "INSERT INTO jobs VALUES ('old', NULL);"
                           "PRAGMA wal_checkpoint(TRUNCATE);"
                           "INSERT INTO jobs VALUES ('new', randomblob(100000));",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    const std::size_t databaseSize = fs::file_size(host("/Users/ann/settings.db"));
    const std::size_t logSize = fs::file_size(host("/Users/ann/settings.db-wal"));
    ASSERT_GT(logSize, databaseSize);
    const std::string log = contents(host("/Users/ann/settings.db-wal"));

    struct Case {
        const char* name;
        std::size_t maxBytes;
        std::vector<std::string> expected;
    };
    const std::vector<Case> cases = {
        {"log within the limit", logSize, {"old", "new"}},
        {"log over the limit is skipped", databaseSize, {"old"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::optional<SafeSQLite> db =
            SafeSQLite::copying(mac_, "/Users/ann/settings.db", {"jobs"}, c.maxBytes, 3);
        ASSERT_TRUE(db);
        bool finished = false;
        EXPECT_EQ(names(*db, "SELECT name FROM jobs ORDER BY rowid", &finished), c.expected);
        EXPECT_TRUE(finished);
    }
    EXPECT_TRUE(privateFolders().empty());
    EXPECT_EQ(contents(host("/Users/ann/settings.db-wal")), log);
    sqlite3_close(writer);
}

TEST_F(SafeReadTemp, SafeSQLiteSkipsALogThatIsALink) {
    makeDatabase("/Users/ann/settings.db", jobsSQL);
    std::ofstream(host("/Users/ann/elsewhere")) << "not a log";
    fs::create_symlink("elsewhere", host("/Users/ann/settings.db-wal"));
    std::optional<SafeSQLite> db =
        SafeSQLite::copying(mac_, "/Users/ann/settings.db", {"jobs"}, 1'000'000, 3);
    ASSERT_TRUE(db);
    ASSERT_EQ(privateFolders().size(), 1u);
    EXPECT_FALSE(fs::exists(privateFolders()[0] / "db.sqlite-wal"));
    EXPECT_TRUE(db->rows("SELECT name FROM jobs", [](sqlite3_stmt*) {}));
}

TEST_F(SafeReadTemp, SafeSQLiteStopsAQueryAtItsTimeLimit) {
    makeDatabase("/Users/ann/settings.db", jobsSQL);
    std::optional<SafeSQLite> db =
        SafeSQLite::copying(mac_, "/Users/ann/settings.db", {"jobs"}, 1'000'000, 0.2);
    ASSERT_TRUE(db);
    const char* endless = "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n) ";

    int delivered = 0;
    EXPECT_FALSE(
        db->rows(std::string(endless) + "SELECT x FROM n", [&](sqlite3_stmt*) { ++delivered; }));
    EXPECT_GT(delivered, 0); // rows before the limit stay delivered

    delivered = 0;
    EXPECT_FALSE(db->rows(std::string(endless) + "SELECT count(*) FROM n",
                          [&](sqlite3_stmt*) { ++delivered; }));
    EXPECT_EQ(delivered, 0);

    // Each query gets its own time limit, and the connection is still usable.
    bool finished = false;
    EXPECT_EQ(names(*db, "SELECT count(*) FROM jobs", &finished), std::vector<std::string>{"2"});
    EXPECT_TRUE(finished);
    db->close();
    EXPECT_TRUE(privateFolders().empty());
}

} // namespace
} // namespace quorvane
