#include "othertools/OtherTools.h"

#include "othertools/Arq.h"
#include "othertools/CarbonCopyCloner.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace quorvane {
namespace {

namespace fs = std::filesystem;
using Tool = ToolStatus::Tool;

const Date now = dateFromUnix(1'750'000'000);

class ReadOtherTools : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "qv-othertools-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        base_ = pattern;
        mac_ = Mac{base_.string(), "/Users/ann"};
        fs::create_directories(mac_.hostPath("/Users/ann"));
    }
    void TearDown() override {
        if (!HasFailure())
            fs::remove_all(base_);
    }
    fs::path base_;
    Mac mac_;
};

TEST_F(ReadOtherTools, NothingInstalledGivesNothing) {
    EXPECT_TRUE(readOtherTools(mac_, now).empty());
}

TEST_F(ReadOtherTools, ConcatenatesTheReadersInTheirFixedOrder) {
    // Installed applications with nothing (or nothing readable) to show; each still reports.
    for (const char* folder : {"/Applications/ChronoSync.app", "/Applications/Duplicati.app",
                               "/Applications/SuperDuper!.app", "/Library/Backblaze.bzpkg",
                               "/Users/ann/Library/Application Support/Vorta"})
        fs::create_directories(mac_.hostPath(folder));
    std::ofstream(mac_.hostPath("/Users/ann/Library/Application Support/Vorta/settings.db"))
        << "not a database";
    // Tools that run but say nothing useful.
    for (std::string_view tool : {arqcPath, cccPath}) {
        const fs::path file = mac_.hostPath(tool);
        fs::create_directories(file.parent_path());
        std::ofstream(file) << "#!/bin/sh\nexit 1\n";
        fs::permissions(file, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }

    std::vector<Tool> tools;
    for (const ToolStatus& status : readOtherTools(mac_, now))
        tools.push_back(status.tool);
    EXPECT_EQ(tools, (std::vector<Tool>{Tool::arq, Tool::ccc, Tool::backblaze, Tool::vorta,
                                        Tool::superDuper, Tool::duplicati, Tool::chronoSync}));
}

} // namespace
} // namespace quorvane
