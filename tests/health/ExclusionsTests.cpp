#include "health/Exclusions.h"

#include <gtest/gtest.h>

namespace quorvane {
namespace {

using Texts = std::vector<std::string>;

BackupDestination destinationWith(std::string id, BackupDestination::Kind kind,
                                  std::optional<std::string> name,
                                  std::optional<std::string> url = std::nullopt) {
    BackupDestination d;
    d.id = std::move(id);
    d.kind = kind;
    d.name = std::move(name);
    d.networkURL = std::move(url);
    return d;
}

TEST(ReadingIssues, OneIssueForEachWayTheSettingsFailToHelp) {
    TimeMachineSettings oneDisk;
    oneDisk.destinations.push_back(destinationWith("D1", BackupDestination::Kind::local, "Backup"));
    EXPECT_TRUE(readingIssues(SettingsReading::read(oneDisk)).empty());

    const std::string nothing = "Nothing on this Mac is being backed up by Time Machine.";
    const std::vector<std::pair<std::optional<SettingsReading>, Issue>> cases{
        {std::nullopt,
         {IssueKind::unknown, std::nullopt, HealthLevel::unknown, "Not checked yet", std::nullopt,
          std::nullopt}},
        {SettingsReading::read(TimeMachineSettings{}),
         {IssueKind::noCompleted, std::nullopt, HealthLevel::red,
          "Time Machine has no backup disk chosen", nothing,
          "Choose a backup disk in System Settings, General, Time Machine."}},
        {SettingsReading::notSetUp(),
         {IssueKind::noCompleted, std::nullopt, HealthLevel::red, "Time Machine isn't set up",
          nothing,
          "Set it up in System Settings, General, Time Machine, with a disk of at least twice "
          "your Mac's used space."}},
        {SettingsReading::unreadable(),
         {IssueKind::unknown, std::nullopt, HealthLevel::unknown, "Couldn't check Time Machine",
          "Its settings couldn't be read, so the status is unknown, not fine.",
          "Quorvane Ombrel will try again. If this stays, restart the Mac."}},
    };
    for (const auto& [reading, issue] : cases)
        EXPECT_EQ(readingIssues(reading), std::vector<Issue>{issue}) << issue.title;
}

TEST(ExclusionIssues, NothingWithoutAnEarlierList) {
    EXPECT_TRUE(exclusionIssues({"/Users/ann/Movies", "/Volumes/Media"}, std::nullopt).empty());
}

TEST(ExclusionIssues, OneIssuePerNewlyExcludedPath) {
    auto issues =
        exclusionIssues({"/a", "/Users/ann/Movies", "/Volumes/Media/"}, Texts{"/a", "/b"});
    ASSERT_EQ(issues.size(), 2u);
    EXPECT_EQ(issues[0],
              (Issue{IssueKind::exclusionsChanged, "excl:/Users/ann/Movies", HealthLevel::amber,
                     "Newly excluded: Movies",
                     "Your Movies folder is excluded from Time Machine. This changed since the "
                     "last check.",
                     "If you didn't mean to, remove it from the exclusions in Time Machine "
                     "settings (Options)."}));
    EXPECT_EQ(issues[0].id(), "exclusionsChanged:excl:/Users/ann/Movies");
    // The path is kept as stored; the title names its last component.
    EXPECT_EQ(issues[1].destinationID, "excl:/Volumes/Media/");
    EXPECT_EQ(issues[1].title, "Newly excluded: Media");

    // Removed exclusions raise nothing; an unchanged list raises nothing.
    EXPECT_TRUE(exclusionIssues({"/a"}, Texts{"/a", "/b"}).empty());
    EXPECT_TRUE(exclusionIssues({}, Texts{}).empty());
}

TEST(ExcludedOwnFolders, FixedOrderEachOnceFromAnyHome) {
    const std::vector<std::pair<Texts, Texts>> cases{
        {{"/Users/ann/Music", "/Users/ann/Desktop", "/Users/Shared/Documents",
          "/Volumes/X/Documents"},
         {"Desktop", "Music"}},
        {{"/Users/ann/Desktop", "/Users/ann"}, {"home folder"}},
        {{"/Users/ann/Pictures", "/Users/bob/Pictures", "/Users/bob/Movies"},
         {"Pictures", "Movies"}},
        {{"/Users/ann/Documents/Old", "/Users/ann/Downloads", "/Users/ann/documents"}, {}},
        {{"/Users", "/Users/Shared", "/", "", "Users/ann/Desktop"}, {}},
        {{"/Users/ann/Documents/"}, {"Documents"}},
        {{}, {}},
    };
    for (const auto& [paths, folders] : cases)
        EXPECT_EQ(excludedOwnFolders(paths), folders) << testing::PrintToString(paths);
}

TEST(OwnFoldersPhrase, NamesTheFolders) {
    const std::vector<std::pair<Texts, std::optional<std::string>>> cases{
        {{}, std::nullopt},
        {{"home folder"}, "your whole home folder"},
        {{"Documents"}, "your Documents folder"},
        {{"Desktop", "Documents"}, "your Desktop and Documents folders"},
        {{"Desktop", "Documents", "Music"}, "your Desktop, Documents and Music folders"},
    };
    for (const auto& [folders, phrase] : cases)
        EXPECT_EQ(ownFoldersPhrase(folders), phrase) << testing::PrintToString(folders);
}

TEST(OwnFoldersExcludedIssue, TitleAndPronounFollowTheFolders) {
    EXPECT_EQ(ownFoldersExcludedIssue({"/Users/ann/Downloads", "/Volumes/X"}), std::nullopt);

    EXPECT_EQ(ownFoldersExcludedIssue({"/Users/ann/Desktop", "/Users/ann"}),
              (Issue{IssueKind::ownFoldersExcluded, "own:home folder", HealthLevel::amber,
                     "Your whole home folder is excluded from Time Machine",
                     "Nothing in it is in your Time Machine backup.",
                     "If that isn't on purpose, remove it from the list in System Settings, "
                     "General, Time Machine, Options."}));

    auto two = ownFoldersExcludedIssue({"/Users/ann/Documents", "/Users/ann/Desktop"});
    ASSERT_TRUE(two);
    EXPECT_EQ(*two,
              (Issue{IssueKind::ownFoldersExcluded, "own:Desktop,Documents", HealthLevel::amber,
                     "Your Desktop and Documents folders are excluded from Time Machine",
                     "Nothing in them is in your Time Machine backup.",
                     "If that isn't on purpose, remove them from the list in System "
                     "Settings, General, Time Machine, Options."}));
    EXPECT_EQ(two->id(), "ownFoldersExcluded:own:Desktop,Documents");

    auto one = ownFoldersExcludedIssue({"/Users/ann/Music"});
    ASSERT_TRUE(one);
    EXPECT_EQ(one->title, "Your Music folder is excluded from Time Machine");
    EXPECT_EQ(one->detail, "Nothing in it is in your Time Machine backup.");

    auto three =
        ownFoldersExcludedIssue({"/Users/ann/Music", "/Users/ann/Movies", "/Users/ann/Desktop"});
    ASSERT_TRUE(three);
    EXPECT_EQ(three->title,
              "Your Desktop, Movies and Music folders are excluded from Time Machine");
    EXPECT_EQ(three->destinationID, "own:Desktop,Movies,Music");
}

TEST(PreUpgradeChecklist, EmptyWithoutANetworkDestination) {
    TimeMachineSettings settings;
    EXPECT_TRUE(preUpgradeChecklist(settings).empty());
    settings.destinations.push_back(
        destinationWith("D1", BackupDestination::Kind::local, "USB", "afp://not-used.local/x"));
    EXPECT_TRUE(preUpgradeChecklist(settings).empty());
}

TEST(PreUpgradeChecklist, OneLinePerNetworkDestinationAfpFirstToMove) {
    TimeMachineSettings settings;
    settings.destinations = {
        destinationWith("D1", BackupDestination::Kind::local, "USB"),
        destinationWith("D2", BackupDestination::Kind::network, "NAS", "AFP://nas.local/TM"),
        destinationWith("D3", BackupDestination::Kind::network, std::nullopt, "smb://box.local/TM"),
        destinationWith("D4", BackupDestination::Kind::network, "Odd", "not a url"),
    };
    EXPECT_EQ(preUpgradeChecklist(settings),
              (Texts{"Make sure a backup completed in the last day, to every disk.",
                     "NAS (network) uses AFP: macOS 27 can't back up to it. Move to SMB or "
                     "another disk first.",
                     "backup disk (network): check the NAS maker's notes for the new macOS "
                     "version (SMB settings, firmware).",
                     "Odd (network): check the NAS maker's notes for the new macOS version (SMB "
                     "settings, firmware).",
                     "After upgrading, check that the next backup completes."}));
}

} // namespace
} // namespace quorvane
