#include "history/JSONFileStore.h"

#include "health/Preferences.h"
#include "history/History.h"
#include "history/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include <fcntl.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

namespace quorvane {
namespace {

using testing::fixtureText;
using testing::TempFolder;
namespace fs = std::filesystem;

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

std::string repeated(const std::string& text, std::size_t times) {
    std::string result;
    result.reserve(text.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        result += text;
    return result;
}

WatchPreferences changedPreferences() {
    WatchPreferences prefs;
    prefs.overdueDays = 9;
    prefs.profile = UsageProfile::weekly;
    prefs.snoozedUntil["failing:D1"] = dateFromUnix(1740837909);
    return prefs;
}

TEST(JSONFileStore, MissingFileGivesMakeAndTouchesNothing) {
    TempFolder folder;
    JSONFileStore<WatchPreferences> store("preferences.json", folder.path() / "state", [] {
        WatchPreferences prefs;
        prefs.overdueDays = 11;
        return prefs;
    });
    EXPECT_EQ(store.url(), folder.path() / "state" / "preferences.json");
    EXPECT_EQ(store.load().overdueDays, 11);
    EXPECT_FALSE(fs::exists(folder.path() / "state"));
}

TEST(JSONFileStore, SaveCreatesFoldersAndLoadReadsBack) {
    TempFolder folder;
    JSONFileStore<WatchPreferences> store("preferences.json", folder.path() / "a" / "b");
    store.save(changedPreferences());
    EXPECT_EQ(store.load(), changedPreferences());
    EXPECT_EQ(entries(folder.path() / "a" / "b"), std::vector<std::string>{"preferences.json"});
    const std::string text = folder.read("a/b/preferences.json");
    EXPECT_NE(text.find("\n  \"overdueDays\": 9"), std::string::npos) << text;
    EXPECT_NE(text.find("\"failing:D1\": \"2025-03-01T14:05:09Z\""), std::string::npos) << text;
    EXPECT_EQ(text.find("null"), std::string::npos);
    // A fresh store sees the same record.
    EXPECT_EQ(
        (JSONFileStore<WatchPreferences>("preferences.json", folder.path() / "a" / "b").load()),
        changedPreferences());
}

TEST(JSONFileStore, ReadOnlyStoreNeverWrites) {
    TempFolder folder;
    JSONFileStore<WatchPreferences> store("preferences.json", folder.path());
    store.readOnly = true;
    store.save(changedPreferences());
    EXPECT_TRUE(entries(folder.path()).empty());
}

TEST(JSONFileStore, BadFilesLoadAsTheDefaultRecord) {
    const std::string good = fixtureText("history/full.json");
    const std::vector<std::pair<std::string, std::string>> cases{
        {"empty", ""},
        {"truncated", good.substr(0, good.size() / 2)},
        {"not JSON", "events: none"},
        {"not UTF-8", "{\"events\": [], \"observations\": {}, \"alerted\": {}, "
                      "\"alertedTitles\": {\"x\": \"\xff\xfe\"}, \"newExclusions\": {}}"},
        {"top level array", "[]"},
        {"wrong type", "{\"events\": {}, \"observations\": {}, \"alerted\": {}, "
                       "\"alertedTitles\": {}, \"newExclusions\": {}}"},
        {"unknown event kind",
         "{\"events\": [{\"date\": \"2025-03-01T10:00:00Z\", \"kind\": \"exploded\", "
         "\"source\": \"Time Machine\", \"text\": \"x\"}], \"observations\": {}, "
         "\"alerted\": {}, \"alertedTitles\": {}, \"newExclusions\": {}}"},
        {"malformed date", "{\"events\": [], \"observations\": {}, \"alerted\": "
                           "{\"overdue:D1\": \"2025-02-30T10:00:00Z\"}, \"alertedTitles\": {}, "
                           "\"newExclusions\": {}}"},
        {"deeply nested", std::string(100000, '[') + std::string(100000, ']')},
        {"nested in a string is fine but the file is not an object",
         "\"" + std::string(1000, '[') + "\""},
        {"too many values", "{\"events\": [], \"observations\": {}, \"alerted\": {}, "
                            "\"alertedTitles\": {}, \"newExclusions\": {}, \"exclusions\": [\"\"" +
                                repeated(",\"\"", 250000) + "]}"},
        {"huge", "{\"events\": [], \"observations\": {}, \"alerted\": {}, \"alertedTitles\": {}, "
                 "\"newExclusions\": {}, \"offMacNote\": \"" +
                     std::string(maxStoreFileBytes, 'x') + "\"}"},
    };
    for (const auto& [name, contents] : cases) {
        TempFolder folder;
        folder.write("history.json", contents);
        JSONFileStore<HistoryRecord> store("history.json", folder.path());
        EXPECT_EQ(store.load(), HistoryRecord{}) << name;
    }
}

TEST(JSONFileStore, LargestRealHistoryStillLoads) {
    // A full event log and alerts about 10,000 jobs of other tools.
    HistoryRecord record;
    for (std::size_t i = 0; i < historyCap; ++i)
        record.events.push_back({dateFromUnix(1740837909.0 + static_cast<double>(i)),
                                 HistoryEvent::Kind::failed, "Time Machine", "D1", "Backup",
                                 "Your NAS didn't respond in time.", "nas-timeout"});
    for (int i = 0; i < 10000; ++i) {
        record.alerted["tool:Arq/" + std::to_string(i)] = dateFromUnix(1740837909);
        record.alertedTitles["tool:Arq/" + std::to_string(i)] = "Arq: failing";
    }
    TempFolder folder;
    JSONFileStore<HistoryRecord> store("history.json", folder.path());
    store.save(record);
    EXPECT_EQ(store.load(), record);
}

TEST(JSONFileStore, SomethingOtherThanAFileInItsPlaceLoadsAsDefault) {
    TempFolder folder;
    fs::create_directories(folder.path() / "history.json");
    EXPECT_EQ(JSONFileStore<HistoryRecord>("history.json", folder.path()).load(), HistoryRecord{});
    ASSERT_EQ(::mkfifo((folder.path() / "fifo.json").c_str(), 0600), 0);
    EXPECT_EQ(JSONFileStore<HistoryRecord>("fifo.json", folder.path()).load(), HistoryRecord{});
}

std::vector<std::string> unreadableCopies(const fs::path& folder, const std::string& name) {
    std::vector<std::string> copies;
    for (const std::string& entry : entries(folder))
        if (entry.starts_with(name + ".unreadable"))
            copies.push_back(entry);
    return copies;
}

void setModified(const fs::path& file, std::time_t seconds) {
    const struct timespec times[2] = {{seconds, 0}, {seconds, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.c_str(), times, 0), 0);
}

TEST(JSONFileStore, EveryUndecodableFileIsKeptAsideAndTheNewestThreeStay) {
    TempFolder folder;
    folder.write("history.json.unreadable", "kept by an earlier version");
    JSONFileStore<HistoryRecord> store("history.json", folder.path());
    HistoryRecord record;
    record.offMacNote = "mine";
    // Five broken files, written a day apart (2025-03-01T14:05:09Z onwards).
    for (int i = 0; i < 5; ++i) {
        folder.write("history.json", "broken " + std::to_string(i));
        setModified(folder.path() / "history.json", 1740837909 + i * 86400);
        EXPECT_EQ(store.load(), HistoryRecord{});
        store.save(record);
        EXPECT_EQ(store.load(), record);
        store.save(record); // a readable file is not copied
    }
    EXPECT_EQ(unreadableCopies(folder.path(), "history.json"),
              (std::vector<std::string>{"history.json.unreadable",
                                        "history.json.unreadable-20250303T140509Z",
                                        "history.json.unreadable-20250304T140509Z",
                                        "history.json.unreadable-20250305T140509Z"}));
    EXPECT_EQ(folder.read("history.json.unreadable-20250305T140509Z"), "broken 4");
    EXPECT_EQ(folder.read("history.json.unreadable-20250303T140509Z"), "broken 2");
    EXPECT_EQ(folder.read("history.json.unreadable"), "kept by an earlier version");

    // Two different files from the same second both stay.
    folder.write("history.json", "broken again");
    setModified(folder.path() / "history.json", 1740837909 + 4 * 86400);
    EXPECT_EQ(store.load(), HistoryRecord{});
    store.save(record);
    EXPECT_EQ(folder.read("history.json.unreadable-20250305T140509Z"), "broken 4");
    EXPECT_EQ(folder.read("history.json.unreadable-20250305T140509Z-2"), "broken again");
}

TEST(JSONFileStore, FileThatCouldNotBeOpenedForAMomentIsKept) {
    TempFolder folder;
    folder.write("history.json.unreadable", "an older copy");
    JSONFileStore<HistoryRecord> store("history.json", folder.path());
    HistoryRecord good;
    good.offMacNote = "months of history";
    store.save(good);
    const std::string before = folder.read("history.json");

    // Out of file descriptors while loading (EMFILE).
    struct rlimit limit {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
    const int lowest = ::dup(0);
    ASSERT_GE(lowest, 0);
    ::close(lowest);
    struct rlimit tight = limit;
    tight.rlim_cur = static_cast<rlim_t>(lowest);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    HistoryRecord loaded = store.load();
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
    EXPECT_EQ(loaded, HistoryRecord{});

    loaded.offMacNote = "one check";
    store.save(loaded);
    EXPECT_EQ(store.load(), loaded);
    const auto copies = unreadableCopies(folder.path(), "history.json");
    ASSERT_EQ(copies.size(), 2u);
    EXPECT_EQ(folder.read(copies[0]), "an older copy");
    EXPECT_EQ(folder.read(copies[1]), before);
    EXPECT_EQ(JSONFileStore<HistoryRecord>(copies[1], folder.path()).load(), good);
}

TEST(JSONFileStore, SaveWithoutLoadStillKeepsAnUndecodableFile) {
    TempFolder folder;
    folder.write("preferences.json", "{\"overdueDays\": \"three\"}");
    JSONFileStore<WatchPreferences>("preferences.json", folder.path()).save(WatchPreferences{});
    const auto copies = unreadableCopies(folder.path(), "preferences.json");
    ASSERT_EQ(copies.size(), 1u);
    EXPECT_EQ(folder.read(copies[0]), "{\"overdueDays\": \"three\"}");

    TempFolder other;
    JSONFileStore<WatchPreferences>("preferences.json", other.path()).save(changedPreferences());
    JSONFileStore<WatchPreferences>("preferences.json", other.path()).save(WatchPreferences{});
    EXPECT_EQ(entries(other.path()), std::vector<std::string>{"preferences.json"});
}

TEST(JSONFileStore, FailedSaveIsSilentAndKeepsTheOldFile) {
    TempFolder folder;
    // A folder that cannot exist: its parent is a regular file.
    folder.write("plain", "not a folder");
    JSONFileStore<WatchPreferences> impossible("preferences.json", folder.path() / "plain" / "sub");
    impossible.save(changedPreferences());
    EXPECT_EQ(impossible.load(), WatchPreferences{});
    EXPECT_EQ(folder.read("plain"), "not a folder");

    if (::geteuid() == 0)
        GTEST_SKIP() << "permission bits do not stop root";
    JSONFileStore<WatchPreferences> store("preferences.json", folder.path() / "locked");
    store.save(changedPreferences());
    const std::string before = folder.read("locked/preferences.json");
    fs::permissions(folder.path() / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    store.save(WatchPreferences{});
    fs::permissions(folder.path() / "locked", fs::perms::owner_all);
    EXPECT_EQ(folder.read("locked/preferences.json"), before);
    EXPECT_EQ(store.load(), changedPreferences());
    EXPECT_EQ(entries(folder.path() / "locked"), std::vector<std::string>{"preferences.json"});
}

TEST(JSONFileStore, SavedFileIsOwnerOnly) {
    TempFolder folder;
    JSONFileStore<std::map<std::string, std::string>> store("secrets.json", folder.path());
    store.save({{"ntfyTopic", "abc"}});
    EXPECT_EQ(store.load(), (std::map<std::string, std::string>{{"ntfyTopic", "abc"}}));
    struct stat info {};
    ASSERT_EQ(::stat((folder.path() / "secrets.json").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
}

TEST(StateFolder, ApplicationSupportFolderOfThePlatform) {
#ifdef __APPLE__
    EXPECT_EQ(stateFolderFor("/Users/ann", std::nullopt),
              fs::path("/Users/ann/Library/Application Support/Quorvane Backup"));
#else
    const std::vector<
        std::tuple<std::optional<std::string>, std::optional<std::string>, std::optional<fs::path>>>
        cases{
            {"/home/ann", std::nullopt, fs::path("/home/ann/.local/share/Quorvane Backup")},
            {"/home/ann", "/data", fs::path("/data/Quorvane Backup")},
            {"/home/ann", "", fs::path("/home/ann/.local/share/Quorvane Backup")},
            {"/home/ann", "relative/dir", fs::path("/home/ann/.local/share/Quorvane Backup")},
            {std::nullopt, "/data", fs::path("/data/Quorvane Backup")},
            {std::nullopt, std::nullopt, std::nullopt},
            {"", std::nullopt, std::nullopt},
            {"relative/home", std::nullopt, std::nullopt},
        };
    for (const auto& [home, xdg, expected] : cases)
        EXPECT_EQ(stateFolderFor(home, xdg), expected);
#endif
    ASSERT_TRUE(stateFolder());
    EXPECT_EQ(stateFolder()->filename(), "Quorvane Backup");
}

// Sets an environment variable for one test and puts it back.
class ScopedVariable {
public:
    ScopedVariable(const char* name, const char* value) : name_(name) {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            ::setenv(name, value, 1);
        else
            ::unsetenv(name);
    }
    ~ScopedVariable() {
        if (old_)
            ::setenv(name_, old_->c_str(), 1);
        else
            ::unsetenv(name_);
    }
    ScopedVariable(const ScopedVariable&) = delete;
    ScopedVariable& operator=(const ScopedVariable&) = delete;

private:
    const char* name_;
    std::optional<std::string> old_;
};

TEST(StateFolder, WithoutHOMEComesFromThePasswordDatabase) {
    const struct passwd* entry = ::getpwuid(::getuid());
    std::optional<fs::path> expected;
    if (entry && entry->pw_dir && entry->pw_dir[0] == '/')
        expected = fs::path(entry->pw_dir) / ".local" / "share" / "Quorvane Backup";
    ScopedVariable xdg("XDG_DATA_HOME", nullptr);
    for (const char* home : {static_cast<const char*>(nullptr), ""}) {
        ScopedVariable variable("HOME", home);
        EXPECT_EQ(stateFolder(), expected);
    }
}

TEST(JSONFileStore, NowhereToKeepItLoadsDefaultsAndSavesNothing) {
    TempFolder folder;
    const fs::path before = fs::current_path();
    fs::current_path(folder.path()); // a save must not land in the working folder either
    auto store = JSONFileStore<WatchPreferences>::at(std::nullopt, [] {
        WatchPreferences prefs;
        prefs.overdueDays = 11;
        return prefs;
    });
    EXPECT_TRUE(store.url().empty());
    store.save(changedPreferences());
    EXPECT_EQ(store.load().overdueDays, 11);
    fs::current_path(before);
    EXPECT_TRUE(entries(folder.path()).empty());
}

} // namespace
} // namespace quorvane
