#include "checks/Coverage.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <optional>
#include <random>
#include <thread>

using namespace quorvane;
namespace fs = std::filesystem;

namespace {

const Date now = dateFromUnix(1760000000);

// A simulated Mac in a fresh temporary folder, removed afterwards.
struct TempMac {
    fs::path root;
    Mac mac;

    TempMac() {
        std::random_device random;
        root = fs::temp_directory_path() /
               ("quorvane-coverage-" + std::to_string(getpid()) + "-" + std::to_string(random()));
        fs::create_directories(root);
        mac = Mac{root.string(), "/Users/ann"};
    }
    ~TempMac() {
        std::error_code error;
        fs::permissions(root, fs::perms::owner_all, fs::perm_options::add, error);
        for (auto it = fs::recursive_directory_iterator(root, error);
             !error && it != fs::recursive_directory_iterator(); it.increment(error))
            if (it->is_directory() && !it->is_symlink())
                fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, error);
        fs::remove_all(root, error);
    }

    fs::path folder(const std::string& macPath) {
        fs::path path = mac.hostPath(macPath);
        fs::create_directories(path);
        return path;
    }
};

void writeFile(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

// The placeholder macOS leaves for an evicted iCloud file: ".NAME.icloud".
void writePlaceholder(const fs::path& folder, const std::string& name, const std::string& size) {
    writeFile(folder / ("." + name + ".icloud"),
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>NSURLFileSizeKey</key><integer>" +
                  size + "</integer><key>NSURLNameKey</key><string>" + name +
                  "</string></dict></plist>\n");
}

std::vector<std::string> sorted(std::vector<std::string> names) {
    std::sort(names.begin(), names.end());
    return names;
}

} // namespace

// --- Wording of exclusions -----------------------------------------------------------------

struct ExclusionCase {
    const char* name;
    const char* path;
    const char* sentence;
    const char* shortPath;
};

class DescribeExclusion : public testing::TestWithParam<ExclusionCase> {};

TEST_P(DescribeExclusion, NamesWhatThePathHolds) {
    EXPECT_EQ(describeExclusion(GetParam().path), GetParam().sentence);
    EXPECT_EQ(exclusionPath(GetParam().path), GetParam().shortPath);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, DescribeExclusion,
    testing::Values(
        ExclusionCase{"WholeDrive", "/Volumes/Photos Archive",
                      "The external drive Photos Archive is excluded from Time Machine, so nothing "
                      "on it is backed up",
                      "/Volumes/Photos Archive"},
        ExclusionCase{"WholeDriveTrailingSlash", "/Volumes/Archive/",
                      "The external drive Archive is excluded from Time Machine, so nothing on it "
                      "is backed up",
                      "/Volumes/Archive/"},
        ExclusionCase{"FolderOnDrive", "/Volumes/Archive/Raw", "Raw is excluded from Time Machine",
                      "/Volumes/Archive/Raw"},
        ExclusionCase{"OwnDocuments", "/Users/ann/Documents",
                      "Your Documents folder is excluded from Time Machine", "~/Documents"},
        ExclusionCase{"OwnLibrary", "/Users/ann/Library",
                      "Your Library folder is excluded from Time Machine", "~/Library"},
        ExclusionCase{"OtherHomeFolder", "/Users/ann/Projects",
                      "Projects is excluded from Time Machine", "~/Projects"},
        ExclusionCase{"DocumentsDeeper", "/Users/ann/Work/Documents",
                      "Documents is excluded from Time Machine", "~/Work/Documents"},
        ExclusionCase{"SharedIsNoHome", "/Users/Shared/Documents",
                      "Documents is excluded from Time Machine", "/Users/Shared/Documents"},
        ExclusionCase{"GoogleDrive", "/Users/ann/Library/CloudStorage/GoogleDrive-ann@example.com",
                      "Google Drive folder is excluded from Time Machine",
                      "~/Library/CloudStorage/GoogleDrive-ann@example.com"},
        ExclusionCase{"OneDriveAnyCase", "/Users/ann/Library/CloudStorage/OneDrive-Personal",
                      "OneDrive folder is excluded from Time Machine",
                      "~/Library/CloudStorage/OneDrive-Personal"},
        ExclusionCase{"BoxBeforeBareDropbox", "/Users/ann/Library/CloudStorage/Box-Box",
                      "Box folder is excluded from Time Machine", "~/Library/CloudStorage/Box-Box"},
        ExclusionCase{"OldDropbox", "/Users/ann/Dropbox (Personal)",
                      "Dropbox folder is excluded from Time Machine", "~/Dropbox (Personal)"},
        ExclusionCase{"ICloudDrive", "/Users/ann/Library/Mobile Documents/com~apple~CloudDocs",
                      "iCloud Drive folder is excluded from Time Machine",
                      "~/Library/Mobile Documents/com~apple~CloudDocs"},
        ExclusionCase{"TildesDropped", "/Users/ann/Old~Stuff~",
                      "OldStuff is excluded from Time Machine", "~/Old~Stuff~"},
        ExclusionCase{"HomeItself", "/Users/ann", "ann is excluded from Time Machine", "~"},
        ExclusionCase{"OutsideHomes", "/Library/Caches", "Caches is excluded from Time Machine",
                      "/Library/Caches"}),
    [](const testing::TestParamInfo<ExclusionCase>& info) { return std::string(info.param.name); });

// --- Cautious existence test ----------------------------------------------------------------

struct ExistsCase {
    const char* name;
    const char* path;
    std::optional<bool> answer;
    const char* probed; // the path the existence test must see, or null when it must not run
};

class SafeFolderExists : public testing::TestWithParam<ExistsCase> {};

TEST_P(SafeFolderExists, ProbesOnlyWhereLookingIsHarmless) {
    const ExistsCase& c = GetParam();
    std::vector<MountedVolume> volumes{
        {"/Volumes/Disk", true}, {"/Volumes/NAS", false}, {"/Volumes/Odd/", std::nullopt}};
    std::vector<std::string> calls;
    auto exists = [&](const std::string& path) {
        calls.push_back(path);
        return true;
    };
    EXPECT_EQ(safeFolderExists(Mac{"/nonexistent-root", "/Users/ann"}, c.path, "/Users/ann",
                               volumes, exists),
              c.answer);
    if (c.probed)
        EXPECT_EQ(calls, std::vector<std::string>{c.probed});
    else
        EXPECT_TRUE(calls.empty()) << "probed " << calls.front();
}

INSTANTIATE_TEST_SUITE_P(
    Paths, SafeFolderExists,
    testing::Values(
        ExistsCase{"Relative", "Users/ann/Projects", std::nullopt, nullptr},
        ExistsCase{"Empty", "", std::nullopt, nullptr},
        ExistsCase{"ParentComponent", "/Users/ann/Projects/../Documents", std::nullopt, nullptr},
        ExistsCase{"NetRoot", "/net", std::nullopt, nullptr},
        ExistsCase{"UnderNetwork", "/Network/Servers/x", std::nullopt, nullptr},
        ExistsCase{"UnderAutomount", "//automount//home/", std::nullopt, nullptr},
        ExistsCase{"RootLookalike", "/networkfolder", true, "/networkfolder"},
        ExistsCase{"Documents", "/Users/ann/Documents", std::nullopt, nullptr},
        ExistsCase{"InsideDesktop", "/Users/ann/Desktop/Work", std::nullopt, nullptr},
        ExistsCase{"InsideDownloadsUnclean", "/Users/ann/./Downloads//a/", std::nullopt, nullptr},
        ExistsCase{"ICloudDrive", "/Users/ann/Library/Mobile Documents/x", std::nullopt, nullptr},
        ExistsCase{"CloudStorage", "/Users/ann/Library/CloudStorage", std::nullopt, nullptr},
        ExistsCase{"DocumentsLookalike", "/Users/ann/Documents2", true, "/Users/ann/Documents2"},
        ExistsCase{"OtherUsersDocuments", "/Users/bob/Documents", true, "/Users/bob/Documents"},
        ExistsCase{"OwnFolder", "/Users/ann/Projects/", true, "/Users/ann/Projects"},
        ExistsCase{"DriveNotAttached", "/Volumes/Gone/Backups", false, nullptr},
        ExistsCase{"NetworkVolume", "/Volumes/NAS/share", std::nullopt, nullptr},
        ExistsCase{"LocalVolume", "/Volumes/Disk/Vorta", true, "/Volumes/Disk/Vorta"},
        ExistsCase{"LocalnessUnknown", "/Volumes/Odd/x", true, "/Volumes/Odd/x"},
        ExistsCase{"VolumesItself", "/Volumes", true, "/Volumes"},
        // A Mac's disk ignores case, so these name the protected places too.
        ExistsCase{"DocumentsInOtherCase", "/Users/ann/documents/x", std::nullopt, nullptr},
        ExistsCase{"HomeInOtherCase", "/users/ANN/Desktop", std::nullopt, nullptr},
        ExistsCase{"CloudStorageInOtherCase", "/Users/ann/library/cloudstorage/x", std::nullopt,
                   nullptr},
        ExistsCase{"NetInOtherCase", "/NET/host", std::nullopt, nullptr},
        ExistsCase{"NetworkVolumeInOtherCase", "/volumes/nas/share", std::nullopt, nullptr},
        ExistsCase{"DetachedDriveInOtherCase", "/VOLUMES/Gone/x", false, nullptr}),
    [](const testing::TestParamInfo<ExistsCase>& info) { return std::string(info.param.name); });

TEST(SafeFolderExists, AsksTheSimulatedMacWithoutGivenVolumes) {
    TempMac temp;
    temp.folder("/Volumes/Disk/Vorta");
    temp.folder("/Volumes/.hidden/x");
    temp.folder("/Users/ann/Projects");
    fs::create_directory_symlink("/nonexistent-target", temp.mac.hostPath("/Volumes/Linked"));

    EXPECT_EQ(mountedVolumes(temp.mac),
              (std::vector<MountedVolume>{{"/Volumes/Disk", true}, {"/Volumes/Linked", true}}));
    EXPECT_EQ(safeFolderExists(temp.mac, "/Volumes/Disk/Vorta", "/Users/ann"), true);
    EXPECT_EQ(safeFolderExists(temp.mac, "/Volumes/Disk/Gone", "/Users/ann"), false);
    EXPECT_EQ(safeFolderExists(temp.mac, "/Volumes/.hidden/x", "/Users/ann"), false);
    EXPECT_EQ(safeFolderExists(temp.mac, "/Users/ann/Projects", "/Users/ann"), true);
    EXPECT_EQ(safeFolderExists(temp.mac, "/Users/ann/Documents", "/Users/ann"), std::nullopt);
    EXPECT_TRUE(mountedVolumes(Mac{(temp.root / "none").string(), "/"}).empty());
}

TEST(SafeFolderExists, NeverLooksThroughALinkBelowTheHomeFolder) {
    TempMac temp;
    temp.folder("/Users/ann/Documents/Secret");
    temp.folder("/Users/ann/Projects/Real");
    temp.folder("/Elsewhere/Inside");
    writeFile(temp.mac.hostPath("/Users/ann/Projects/notes.txt"), "a file");
    fs::create_directory_symlink("../Documents", temp.mac.hostPath("/Users/ann/Work"));
    fs::create_directory_symlink(temp.mac.hostPath("/Elsewhere"),
                                 temp.mac.hostPath("/Users/ann/Projects/Linked"));
    fs::create_directory_symlink("Real", temp.mac.hostPath("/Users/ann/Projects/Last"));
    // The home folder itself may be a link (a moved home); only what lies below it counts.
    fs::create_directory_symlink("ann", temp.mac.hostPath("/Users/alias"));

    const std::pair<const char*, std::optional<bool>> cases[] = {
        {"/Users/ann/Work/Secret", std::nullopt},
        {"/Users/ann/Work", std::nullopt},
        {"/Users/ann/Projects/Linked/Inside", std::nullopt},
        {"/Users/ann/Projects/Last", std::nullopt},
        {"/Users/ann/Projects/Real", true},
        {"/Users/ann/Projects/Missing/Deeper", false},
        {"/Users/ann/Projects/notes.txt/x", false},
        {"/Users/ann", true},
        {"/Elsewhere/Inside", true},
    };
    const std::vector<MountedVolume> none;
    for (const auto& [path, answer] : cases) {
        EXPECT_EQ(safeFolderExists(temp.mac, path, "/Users/ann", none), answer) << path;
        // A given existence test is never asked about a path the links rule out.
        bool probed = false;
        safeFolderExists(temp.mac, path, "/Users/ann", none, [&](const std::string&) {
            probed = true;
            return true;
        });
        EXPECT_EQ(probed, answer.has_value()) << path;
    }
    EXPECT_EQ(safeFolderExists(temp.mac, "/Users/alias/Projects/Real", "/Users/alias", none), true);
    EXPECT_EQ(safeFolderExists(temp.mac, "/Users/alias/Work/Secret", "/Users/alias", none),
              std::nullopt);
}

// --- Coverage walk --------------------------------------------------------------------------

TEST(CheckCoverage, CountsPlaceholdersButNotLinksOrPackages) {
    Mac mac{std::string(QUORVANE_FIXTURES) + "/coverage/mac", "/Users/ann"};
    const std::string folder = "/Users/ann/Library/Mobile Documents/com~apple~CloudDocs";
    CoverageResult result = checkCoverage(mac, folder, 20, now);

    EXPECT_EQ(result.folder, folder);
    EXPECT_EQ(result.checkedAt, now);
    EXPECT_FALSE(result.partial);
    // Notes.txt and three placeholders; the link out of the folder, the linked placeholder and
    // the placeholder inside the Keynote package are not seen.
    EXPECT_EQ(result.filesChecked, 4);
    EXPECT_EQ(result.cloudOnlyCount, 3);
    EXPECT_EQ(result.cloudOnlyBytes, 4'000'000); // the damaged placeholder counts 0 bytes
    EXPECT_EQ(sorted(result.sample),
              (std::vector<std::string>{"Damaged.txt", "IMG_0001.jpg", "Report.pdf"}));
    EXPECT_EQ(coverageLine(result), "com~apple~CloudDocs: 3 files (4 MB) weren't on this Mac when "
                                    "checked, so a local backup can't include them.");
}

TEST(CheckCoverage, KeepsTenSampleNames) {
    TempMac temp;
    fs::path folder = temp.folder("/Users/ann/Cloud");
    for (int i = 0; i < 12; ++i)
        writePlaceholder(folder, "file" + std::to_string(i) + ".txt", "100");
    writeFile(folder / "local.txt", "here");

    CoverageResult result = checkCoverage(temp.mac, "/Users/ann/Cloud", 20, now);
    EXPECT_EQ(result.cloudOnlyCount, 12);
    EXPECT_EQ(result.cloudOnlyBytes, 1200);
    EXPECT_EQ(result.filesChecked, 13);
    EXPECT_EQ(result.sample.size(), 10u);
    EXPECT_FALSE(result.partial);
}

TEST(CheckCoverage, SizesFromHostilePlaceholdersStayInRange) {
    TempMac temp;
    fs::path folder = temp.folder("/Users/ann/Cloud");
    writePlaceholder(folder, "huge1", "9223372036854775807");
    writePlaceholder(folder, "huge2", "9223372036854775807");
    writePlaceholder(folder, "negative", "-5");
    writePlaceholder(folder, "text", "12abc");
    writeFile(folder / ".big.icloud", std::string(200 * 1024, ' '));
    writeFile(folder / ".icloud", "not a placeholder: no name");

    CoverageResult result = checkCoverage(temp.mac, "/Users/ann/Cloud", 20, now);
    EXPECT_EQ(result.cloudOnlyCount, 5);
    EXPECT_EQ(result.filesChecked, 6);
    EXPECT_EQ(result.cloudOnlyBytes, std::numeric_limits<std::int64_t>::max());
}

TEST(CheckCoverage, FolderThatCannotBeOpenedGivesAnEmptyCompleteResult) {
    TempMac temp;
    writeFile(temp.mac.hostPath("/Users/file"), "a file, not a folder");
    for (const char* folder : {"/Users/ann/Missing", "/Users/file"}) {
        CoverageResult result = checkCoverage(temp.mac, folder, 20, now);
        EXPECT_EQ(result, (CoverageResult{folder, 0, 0, {}, 0, false, now})) << folder;
    }
}

TEST(CheckCoverage, SkipsUnreadableFolders) {
    TempMac temp;
    fs::path folder = temp.folder("/Users/ann/Mixed");
    fs::create_directories(folder / "locked");
    writePlaceholder(folder / "locked", "secret", "10");
    writePlaceholder(folder, "open", "20");
    fs::permissions(folder / "locked", fs::perms::none);
    // Root reads the locked folder anyway; everyone else walks past it.
    bool readable = access((folder / "locked").c_str(), R_OK | X_OK) == 0;

    CoverageResult result = checkCoverage(temp.mac, "/Users/ann/Mixed", 20, now);
    EXPECT_EQ(result.cloudOnlyCount, readable ? 2 : 1);
    EXPECT_EQ(result.cloudOnlyBytes, readable ? 30 : 20);
    EXPECT_FALSE(result.partial);
}

// Lowers this process's descriptor limit so that exactly `free` more can be opened; restores
// it afterwards.
class DescriptorLimit {
public:
    explicit DescriptorLimit(int free) {
        getrlimit(RLIMIT_NOFILE, &saved_);
        rlim_t limit = 0;
        for (int available = 0; available < free; ++limit)
            if (fcntl(static_cast<int>(limit), F_GETFD) < 0)
                ++available;
        rlimit lowered = saved_;
        lowered.rlim_cur = limit;
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    ~DescriptorLimit() { setrlimit(RLIMIT_NOFILE, &saved_); }
    DescriptorLimit(const DescriptorLimit&) = delete;
    DescriptorLimit& operator=(const DescriptorLimit&) = delete;

private:
    rlimit saved_{};
};

// A chain of `levels` folders ("n" inside "n"), the first being `top`, with a placeholder in
// each and `sideFolders` sibling folders at each level holding one placeholder each.
void makeChain(const fs::path& top, int levels, int sideFolders) {
    fs::path level = top;
    for (int i = 0; i < levels; ++i) {
        fs::create_directories(level);
        writePlaceholder(level, "level" + std::to_string(i), "1");
        for (int s = 0; s < sideFolders; ++s) {
            fs::create_directory(level / ("side" + std::to_string(s)));
            writePlaceholder(level / ("side" + std::to_string(s)), "side", "1");
        }
        level /= "n";
    }
}

TEST(CheckCoverage, FollowsADeepTreeHoldingAtMostSixtyFourDescriptors) {
    TempMac temp;
    makeChain(temp.mac.hostPath("/Users/ann/Deep"), 150, 3);
    CoverageResult result;
    {
        DescriptorLimit limit(64);
        result = checkCoverage(temp.mac, "/Users/ann/Deep", 60, now);
    }
    EXPECT_EQ(result.cloudOnlyCount, 150 * 4);
    EXPECT_EQ(result.cloudOnlyBytes, 150 * 4);
    EXPECT_FALSE(result.partial);
}

TEST(CheckCoverage, SaysItStoppedEarlyWhenTooDeepOrOutOfDescriptors) {
    struct Case {
        const char* name;
        int levels;
        std::optional<int> freeDescriptors;
        std::int64_t counted;
        bool partial;
    };
    const int deepest = static_cast<int>(coverageMaxDepth);
    const Case cases[] = {
        {"AsDeepAsFollowed", deepest, std::nullopt, deepest, false},
        {"OneLevelTooDeep", deepest + 1, std::nullopt, deepest, true},
        {"FarTooDeep", deepest + 40, std::nullopt, deepest, true},
        {"OutOfDescriptors", 10, 3, -1, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempMac temp;
        makeChain(temp.mac.hostPath("/Users/ann/Deep"), c.levels, 0);
        CoverageResult result;
        {
            std::optional<DescriptorLimit> limit;
            if (c.freeDescriptors)
                limit.emplace(*c.freeDescriptors);
            result = checkCoverage(temp.mac, "/Users/ann/Deep", 60, now);
        }
        if (c.counted >= 0) {
            EXPECT_EQ(result.cloudOnlyCount, c.counted);
        }
        EXPECT_EQ(result.partial, c.partial);
    }
}

TEST(CheckCoverage, StopsAtItsBudget) {
    TempMac temp;
    fs::path folder = temp.folder("/Users/ann/Cloud");
    writePlaceholder(folder, "a", "1");
    writePlaceholder(folder, "b", "1");
    for (double budget : {0.0, -5.0, std::nan("")}) {
        CoverageResult result = checkCoverage(temp.mac, "/Users/ann/Cloud", budget, now);
        EXPECT_TRUE(result.partial) << budget;
        EXPECT_EQ(result.filesChecked, 0) << budget;
        EXPECT_EQ(coverageLine(result), "Cloud: every file checked was on this Mac (check stopped "
                                        "early).");
    }
    EXPECT_FALSE(checkCoverage(temp.mac, "/Users/ann/Cloud", INFINITY, now).partial);
}

TEST(CheckCoverage, SurvivesAFolderChangingDuringTheWalk) {
    TempMac temp;
    fs::path folder = temp.folder("/Users/ann/Busy");
    for (int i = 0; i < 20; ++i)
        writePlaceholder(folder, "stable" + std::to_string(i), "1");
    std::atomic<bool> stop = false;
    std::thread churn([&] {
        for (int round = 0; !stop; ++round) {
            std::error_code error;
            fs::path sub = folder / ("sub" + std::to_string(round % 5));
            fs::create_directories(sub / "deeper", error);
            writePlaceholder(sub / "deeper", "moving", "1");
            fs::remove_all(folder / ("sub" + std::to_string((round + 2) % 5)), error);
        }
    });
    for (int i = 0; i < 50; ++i) {
        CoverageResult result = checkCoverage(temp.mac, "/Users/ann/Busy", 20, now);
        EXPECT_GE(result.cloudOnlyCount, 20);
        EXPECT_EQ(result.cloudOnlyCount, result.filesChecked);
        EXPECT_FALSE(result.partial);
    }
    stop = true;
    churn.join();
}

// --- Sentences ------------------------------------------------------------------------------

TEST(CoverageLine, WordsCountSizeAndEarlyStop) {
    auto line = [](std::int64_t count, std::int64_t bytes, bool partial) {
        return coverageLine(CoverageResult{
            "/Users/ann/Library/Mobile Documents/Work", count, bytes, {}, 40, partial, now});
    };
    EXPECT_EQ(line(1, 1500, false), "Work: 1 file (2 KB) weren't on this Mac when checked, so a "
                                    "local backup can't include them.");
    EXPECT_EQ(line(12, 0, true), "Work: 12 files (Zero KB) weren't on this Mac when checked, so a "
                                 "local backup can't include them (check stopped early; there may "
                                 "be more).");
    EXPECT_EQ(line(0, 0, false), "Work: every file checked was on this Mac.");
    EXPECT_EQ(line(0, 0, true), "Work: every file checked was on this Mac (check stopped early).");
}

TEST(DecimalByteCount, UsesDecimalUnitsWithAdaptivePrecision) {
    const std::vector<std::pair<std::int64_t, std::string>> cases{
        {0, "Zero KB"},
        {1, "1 byte"},
        {999, "999 bytes"},
        {1000, "1 KB"},
        {1499, "1 KB"},
        {1500, "2 KB"},
        {999'499, "999 KB"},
        {999'500, "1 MB"},
        {1'500'000, "1.5 MB"},
        {4'000'000, "4 MB"},
        {12'300'000'000, "12.3 GB"},
        {12'345'678'901, "12.35 GB"},
        {2'000'000'000'000, "2 TB"},
        {std::numeric_limits<std::int64_t>::max(), "9.22 EB"},
    };
    for (const auto& [bytes, text] : cases)
        EXPECT_EQ(decimalByteCount(bytes), text) << bytes;
}
