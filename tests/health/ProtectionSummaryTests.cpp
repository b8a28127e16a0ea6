#include "health/ProtectionSummary.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quorvane {
namespace {

using ::testing::ElementsAre;

const Date now = dateFromUnix(1717243200); // 2024-06-01T12:00:00Z
const Date yesterday = addSeconds(now, -86400);

const std::string noOffSite = "Off-site copy: none that Quorvane Ombrel can see. A copy away from "
                              "home guards against theft, fire or flood.";

ToolStatus tool(ToolStatus::Tool which, std::optional<std::string> kind = std::nullopt,
                std::optional<Date> lastSuccess = yesterday, bool unreadable = false) {
    ToolStatus status(which, "Job", std::nullopt, lastSuccess, std::nullopt, false, false,
                      std::nullopt, std::nullopt, unreadable, now);
    status.destinationKind = std::move(kind);
    return status;
}

BackupDestination destination(BackupDestination::Kind kind, bool completed) {
    BackupDestination d;
    d.kind = kind;
    if (completed)
        d.completed = {yesterday};
    d.attempts = {yesterday};
    return d;
}

TEST(ProtectionSummary, NothingWatched) {
    const ProtectionSummary summary = protectionSummary(std::nullopt, {});
    EXPECT_EQ(summary.copies, 1);
    EXPECT_TRUE(summary.kinds.empty());
    EXPECT_EQ(summary.offSite, std::nullopt);
    EXPECT_THAT(
        summary.lines,
        ElementsAre("Copies: only the files on this Mac. No backup has completed. The 3-2-1 rule "
                    "suggests 3 copies.",
                    "Kinds of storage: none seen. A second kind (for example cloud) guards "
                    "against one failing.",
                    noOffSite,
                    "iCloud Drive, iCloud Photos, Dropbox and similar aren't counted as copies: "
                    "they sync, so a deletion or a damaged file reaches every device.",
                    "Quorvane Ombrel only counts backups it watches. Other copies may exist."));
}

TEST(ProtectionSummary, TimeMachineDiskAndBackblazeMeetTheRule) {
    TimeMachineSettings settings;
    settings.destinations = {destination(BackupDestination::Kind::local, true),
                             destination(BackupDestination::Kind::network, false)};
    const ProtectionSummary summary =
        protectionSummary(settings, {tool(ToolStatus::Tool::backblaze)});
    EXPECT_EQ(summary.copies, 3);
    EXPECT_THAT(summary.kinds, ElementsAre("cloud", "local disk"));
    EXPECT_EQ(summary.offSite, true);
    ASSERT_EQ(summary.lines.size(), 5u);
    EXPECT_EQ(summary.lines[0], "Copies: 3: this Mac and 2 backups. Meets the 3-2-1 rule.");
    EXPECT_EQ(summary.lines[1], "Kinds of storage: cloud, local disk. Meets the 3-2-1 rule.");
    EXPECT_EQ(summary.lines[2], "Off-site copy: yes (cloud).");
}

TEST(ProtectionSummary, OneBackupAndOneKind) {
    TimeMachineSettings settings;
    settings.destinations = {destination(BackupDestination::Kind::unknown, true)};
    const ProtectionSummary summary = protectionSummary(settings, {});
    EXPECT_EQ(summary.copies, 2);
    EXPECT_THAT(summary.kinds, ElementsAre("local disk"));
    EXPECT_EQ(summary.lines[0], "Copies: 2: this Mac and 1 backup. The 3-2-1 rule suggests 3.");
    EXPECT_EQ(summary.lines[1], "Kinds of storage: local disk. A second kind (for example cloud) "
                                "guards against one failing.");
    EXPECT_EQ(summary.lines[2], noOffSite);
}

struct KindCase {
    const char* name;
    ToolStatus status;
    int copies;
    std::vector<std::string> kinds;
    bool offSite;
};

class ToolKind : public ::testing::TestWithParam<KindCase> {};

TEST_P(ToolKind, CountsCompletedReadableBackups) {
    const KindCase& c = GetParam();
    const ProtectionSummary summary = protectionSummary(std::nullopt, {c.status});
    EXPECT_EQ(summary.copies, c.copies);
    EXPECT_EQ(summary.kinds, c.kinds);
    EXPECT_EQ(summary.offSite, c.offSite ? std::optional<bool>(true) : std::nullopt);
}

INSTANTIATE_TEST_SUITE_P(
    Tools, ToolKind,
    ::testing::Values(
        KindCase{"arqSftp", tool(ToolStatus::Tool::arq, "sftp"), 2, {"network disk"}, false},
        KindCase{"arqWasabi", tool(ToolStatus::Tool::arq, "wasabi"), 2, {"cloud"}, true},
        KindCase{
            "arqCapitalised", tool(ToolStatus::Tool::arq, "Wasabi"), 2, {"unknown storage"}, false},
        KindCase{"arqFolder", tool(ToolStatus::Tool::arq, "folder"), 2, {"local disk"}, false},
        KindCase{"duplicatiS3", tool(ToolStatus::Tool::duplicati, "s3"), 2, {"cloud"}, true},
        KindCase{
            "duplicatiNoKind", tool(ToolStatus::Tool::duplicati), 2, {"unknown storage"}, false},
        KindCase{"vortaLocal", tool(ToolStatus::Tool::vorta, "local"), 2, {"local disk"}, false},
        KindCase{"vortaNoKind", tool(ToolStatus::Tool::vorta), 2, {"remote server"}, false},
        KindCase{"ccc", tool(ToolStatus::Tool::ccc), 2, {"local disk"}, false},
        KindCase{"superDuper", tool(ToolStatus::Tool::superDuper), 2, {"local disk"}, false},
        KindCase{"chronoSync", tool(ToolStatus::Tool::chronoSync), 2, {"local disk"}, false},
        KindCase{"neverCompleted",
                 tool(ToolStatus::Tool::backblaze, std::nullopt, std::nullopt),
                 1,
                 {},
                 false},
        KindCase{"unreadableWithSuccess",
                 tool(ToolStatus::Tool::backblaze, std::nullopt, yesterday, true),
                 1,
                 {},
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(ProtectionSummary, SameKindTwiceIsTwoCopiesOfOneKind) {
    const ProtectionSummary summary = protectionSummary(
        std::nullopt, {tool(ToolStatus::Tool::ccc), tool(ToolStatus::Tool::superDuper)});
    EXPECT_EQ(summary.copies, 3);
    EXPECT_THAT(summary.kinds, ElementsAre("local disk"));
    EXPECT_EQ(summary.lines[0], "Copies: 3: this Mac and 2 backups. Meets the 3-2-1 rule.");
}

TEST(ArqPlace, KnowsTheDestinationWords) {
    for (const char* word : {"folder", "local"})
        EXPECT_EQ(arqPlace(std::string(word)), StoragePlace::local) << word;
    for (const char* word : {"nas", "sftp", "smb", "afp", "ssh"})
        EXPECT_EQ(arqPlace(std::string(word)), StoragePlace::network) << word;
    for (const char* word :
         {"b2", "s3", "aws", "wasabi", "arqcloud", "arq cloud", "arq_cloud", "googledrive",
          "google drive", "gdrive", "googlecloudstorage", "gcs", "onedrive", "dropbox", "azure",
          "backblaze", "s3compatible", "storj", "idrive"})
        EXPECT_EQ(arqPlace(std::string(word)), StoragePlace::cloud) << word;
    for (const char* word : {"", "SFTP", "ftp", "s3 "})
        EXPECT_EQ(arqPlace(std::string(word)), StoragePlace::unknown) << word;
    EXPECT_EQ(arqPlace(std::nullopt), StoragePlace::unknown);
}

} // namespace
} // namespace quorvane
