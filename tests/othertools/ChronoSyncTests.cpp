#include "othertools/ChronoSync.h"

#include "othertools/ArchiveBuilder.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>

using namespace quorvane;
using quorvane::testing::ArchiveBuilder;
using quorvane::testing::TempMac;

namespace {

const Date now = dateFromUnix(1'800'000'000);

std::string documentsArchive(bool withName = true) {
    ArchiveBuilder b;
    std::map<std::string, std::uint64_t> members{
        {"SUMY", b.string("Synced 12 files. Errors: 3")},
        {"RNAM", b.string("\"Backups/Mac\" on \"Archive\"")},
        {"SDAT", b.date(1'800'000'000 - referenceDateOffset - 3600)}};
    if (withName)
        members["NAME"] = b.string("Documents to Archive");
    auto ref = b.object("DocumentRef", members);
    return b.bytes(b.array({b.string("stray"), ref, b.string("another")}));
}

} // namespace

TEST(ChronoSync, ErrorCountFromSummary) {
    struct Case {
        std::optional<std::string> summary;
        std::optional<std::int64_t> count;
    };
    const Case cases[] = {
        {std::nullopt, std::nullopt},
        {"Errors: 3", 3},
        {"Synced. Errors:0 Warnings: 2", 0},
        {"Errors:\t 12 of them", 12},
        {"Errors: none; later Errors: 5", 5},
        {"No problems", std::nullopt},
        {"Errors: 99999999999999999999999", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(chronoSyncErrorCount(c.summary), c.count) << c.summary.value_or("(absent)");
}

TEST(ChronoSync, DestinationLabelAndCandidates) {
    using Paths = std::vector<std::string>;
    const std::optional<std::string> onVolume = "\"Backups/Mac\" on \"Archive\"";
    EXPECT_EQ(chronoSyncDestinationLabel(onVolume), "Mac");
    EXPECT_EQ(chronoSyncDestinationCandidates(onVolume),
              (Paths{"/Backups/Mac", "/Volumes/Archive/Backups/Mac"}));
    EXPECT_EQ(chronoSyncDestinationCandidates(std::string("\"\" on \"Archive\"")),
              (Paths{"/Volumes/Archive"}));
    EXPECT_EQ(chronoSyncDestinationCandidates(std::string("Backups on Archive")), std::nullopt);
    EXPECT_EQ(chronoSyncDestinationCandidates(std::string("\"Backups\" to \"Archive\"")),
              std::nullopt);
    EXPECT_EQ(chronoSyncDestinationCandidates(std::nullopt), std::nullopt);
    EXPECT_EQ(chronoSyncDestinationLabel(std::string("Backups on Archive")), "Backups on Archive");
    EXPECT_EQ(chronoSyncDestinationLabel(std::string("\"\"")), std::nullopt);
}

TEST(ChronoSync, DestinationLabelNamesTheFolderOrTheVolume) {
    struct Case {
        const char* description;
        std::optional<std::string> label;
    };
    const Case cases[] = {
        {"\"Backups/Mac\" on \"Archive\"", "Mac"},
        {"\"Backups/Mac/\" on \"Archive\"", "Mac"},
        {"\"Mac\" on \"Archive\"", "Mac"},
        {"\"\" on \"Archive\"", "Archive"}, // the top level of the volume
        {"\"Backups\"", "Backups"},
        {"Backups/Mac", "Mac"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(chronoSyncDestinationLabel(std::string(c.description)), c.label) << c.description;

    ChronoSyncTask topLevel{"Docs", std::nullopt, std::nullopt, "\"\" on \"Archive\""};
    auto statuses = chronoSyncStatuses({topLevel}, now, [](const std::string&) { return false; });
    EXPECT_EQ(statuses[0].destination, "Archive");
    EXPECT_EQ(statuses[0].reason, "can't find its destination \u201CArchive\u201D. Is the disk "
                                  "connected, or was the folder moved?");
}

TEST(ChronoSync, StatusesWarnAboutErrorsAndMissingDestinations) {
    ChronoSyncTask task{"Docs", dateFromUnix(1'799'990'000), "Errors: 3",
                        "\"Backups/Mac\" on \"Archive\""};
    auto errors = chronoSyncStatuses({task}, now);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_TRUE(errors[0].warnings);
    EXPECT_FALSE(errors[0].failed);
    EXPECT_EQ(
        errors[0].reason,
        "the last sync finished with 3 errors. Open ChronoSync and click Log for the details.");
    EXPECT_EQ(errors[0].destination, "Mac");
    EXPECT_EQ(errors[0].destinationKind, "local");
    EXPECT_EQ(errors[0].lastSuccess, task.lastSync);
    EXPECT_EQ(errors[0].lastAttempt, task.lastSync);

    std::vector<std::string> asked;
    auto missing = chronoSyncStatuses({task}, now, [&](const std::string& path) {
        asked.push_back(path);
        return false;
    });
    EXPECT_EQ(asked, (std::vector<std::string>{"/Backups/Mac", "/Volumes/Archive/Backups/Mac"}));
    EXPECT_EQ(missing[0].reason, "can't find its destination \u201CMac\u201D. Is the disk "
                                 "connected, or was the folder moved?");

    task.summary = "Errors: 0";
    auto clean = chronoSyncStatuses({task}, now, [](const std::string& p) { return p[1] == 'V'; });
    EXPECT_FALSE(clean[0].warnings);
    EXPECT_EQ(clean[0].reason, std::nullopt);

    auto none = chronoSyncStatuses({}, now);
    ASSERT_EQ(none.size(), 1u);
    EXPECT_TRUE(none[0].noBackupsSetUp);
    EXPECT_EQ(none[0].name, std::nullopt);
}

TEST(ChronoSync, ParsesDocumentReferencesOnly) {
    auto tasks = parseChronoSyncDocuments(documentsArchive());
    ASSERT_TRUE(tasks);
    ASSERT_EQ(tasks->size(), 1u);
    EXPECT_EQ((*tasks)[0].name, "Documents to Archive");
    EXPECT_EQ((*tasks)[0].summary, "Synced 12 files. Errors: 3");
    EXPECT_EQ((*tasks)[0].lastSync, dateFromUnix(1'800'000'000 - 3600));

    auto unnamed = parseChronoSyncDocuments(documentsArchive(false));
    ASSERT_TRUE(unnamed);
    EXPECT_EQ((*unnamed)[0].name, "Task");

    ArchiveBuilder wrongTypes;
    auto odd = wrongTypes.object("DocumentRef",
                                 {{"NAME", wrongTypes.date(0)}, {"SDAT", wrongTypes.string("x")}});
    auto typed = parseChronoSyncDocuments(wrongTypes.bytes(wrongTypes.array({odd})));
    ASSERT_TRUE(typed);
    EXPECT_EQ((*typed)[0], (ChronoSyncTask{"Task", std::nullopt, std::nullopt, std::nullopt}));

    // Keys the reader does not use, of classes it does not allow, leave the task readable.
    ArchiveBuilder extraKeys;
    auto withOptions =
        extraKeys.object("DocumentRef", {{"NAME", extraKeys.string("Docs")},
                                         {"OPTS", extraKeys.object("NSDictionary", {})},
                                         {"STAT", extraKeys.object("ChronoSyncTaskState", {})},
                                         {"SUMY", extraKeys.string("Errors: 0")}});
    auto extra = parseChronoSyncDocuments(extraKeys.bytes(extraKeys.array({withOptions})));
    ASSERT_TRUE(extra);
    EXPECT_EQ(*extra, (std::vector<ChronoSyncTask>{
                          {"Docs", std::nullopt, std::string("Errors: 0"), std::nullopt}}));

    ArchiveBuilder notArray;
    EXPECT_FALSE(parseChronoSyncDocuments(notArray.bytes(notArray.string("x"))));
    ArchiveBuilder empty;
    EXPECT_EQ(parseChronoSyncDocuments(empty.bytes(empty.array({}))),
              std::vector<ChronoSyncTask>{});
}

TEST(ChronoSync, ReadsTheArchiveDefensively) {
    TempMac none;
    const std::string path = chronoSyncDocuments(none.mac());
    EXPECT_EQ(readChronoSync(none.mac(), path, now), std::nullopt);

    TempMac appOnly;
    appOnly.mkdir("/Applications/ChronoSync.app");
    auto installed = readChronoSync(appOnly.mac(), path, now);
    ASSERT_TRUE(installed);
    EXPECT_TRUE((*installed)[0].noBackupsSetUp);

    TempMac good;
    good.write(path, documentsArchive());
    good.mkdir("/Volumes/Archive/Backups/Mac");
    auto read = readChronoSync(good.mac(), path, now);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->size(), 1u);
    EXPECT_EQ((*read)[0].name, "Documents to Archive");
    EXPECT_EQ(
        (*read)[0].reason,
        "the last sync finished with 3 errors. Open ChronoSync and click Log for the details.");

    TempMac unmounted;
    unmounted.write(path, documentsArchive());
    auto gone = readChronoSync(unmounted.mac(), path, now);
    ASSERT_TRUE(gone);
    EXPECT_EQ((*gone)[0].reason, "can't find its destination \u201CMac\u201D. Is the disk "
                                 "connected, or was the folder moved?");

    TempMac hostile;
    hostile.write("/Users/ann/real.data", documentsArchive());
    hostile.link(hostile.host("/Users/ann/real.data").string(), path);
    auto linked = readChronoSync(hostile.mac(), path, now);
    ASSERT_TRUE(linked);
    EXPECT_TRUE((*linked)[0].unreadable);

    TempMac garbage;
    garbage.write(path, "not an archive at all");
    auto unreadable = readChronoSync(garbage.mac(), path, now);
    ASSERT_TRUE(unreadable);
    ASSERT_EQ(unreadable->size(), 1u);
    EXPECT_TRUE((*unreadable)[0].unreadable);
    EXPECT_EQ((*unreadable)[0].name, std::nullopt);
}
