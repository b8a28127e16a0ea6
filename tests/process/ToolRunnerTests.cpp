#include "process/ToolRunner.h"

#include "process/FakeTools.h"
#include "support/TempMac.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace quorvane;
using quorvane::testing::installScript;
using quorvane::testing::installTool;
using quorvane::testing::TempMac;
using ::testing::HasSubstr;

namespace {

constexpr const char* tool = "/usr/bin/tool";

std::size_t openDescriptors() {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd"))
        ++count;
    return count;
}

// True when `pid` is gone (or only a zombie waiting for init).
bool processGone(const std::string& pid) {
    for (int i = 0; i < 100; ++i) {
        std::ifstream stat("/proc/" + pid + "/stat");
        std::string text;
        if (!std::getline(stat, text))
            return true;
        const auto close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z')
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

double secondsTaken(const std::function<void()>& work) {
    const auto start = std::chrono::steady_clock::now();
    work();
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

} // namespace

TEST(ToolRunner, PassesArgumentsVerbatimWithoutAShell) {
    TempMac mac;
    installTool(mac, tool, "args");
    const auto result = runToolCapturing(
        mac.mac(), tool, {"a b", "$(touch /tmp/x)", "*", "", "\"quoted\"", "é😀"}, 5);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 0);
    EXPECT_EQ(result->output,
              "[a b]\n[$(touch /tmp/x)]\n[*]\n[]\n[\"quoted\"]\n[é😀]\nstdin: none\n");
    EXPECT_EQ(result->errors, "to stderr\n");
}

TEST(ToolRunner, FailingExitKeepsItsOutputForTheCapturingRunOnly) {
    TempMac mac;
    installTool(mac, tool, "exit-with-output");
    const auto result = runToolCapturing(mac.mac(), tool, {}, 5);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 1);
    EXPECT_EQ(result->output, "valid output\n");
    EXPECT_FALSE(runTool(mac.mac(), tool, {}, 5));
}

TEST(ToolRunner, RunToolGivesTheOutputOfASuccessfulRun) {
    TempMac mac;
    installTool(mac, tool, "args");
    EXPECT_EQ(runTool(mac.mac(), tool, {"x"}, 5), "[x]\nstdin: none\n");
}

TEST(ToolRunner, KeepsOutputOfExactlyTheCapAndStopsAToolThatWritesMore) {
    TempMac mac;
    installTool(mac, tool, "bytes");
    ToolLimits limits;
    limits.outputCap = 1000;
    const ToolRun exact = runToolWithLimits(mac.mac(), tool, {"1000"}, 5, limits);
    EXPECT_EQ(exact.end, ToolEnd::exited);
    EXPECT_EQ(exact.status, 0);
    EXPECT_EQ(exact.output.size(), 1000u);
    EXPECT_FALSE(exact.outputCapped);

    const ToolRun over = runToolWithLimits(mac.mac(), tool, {"1001"}, 5, limits);
    EXPECT_TRUE(over.outputCapped);
    EXPECT_EQ(over.output.size(), 1000u);
    EXPECT_TRUE(over.finished());
}

TEST(ToolRunner, StopsAFloodingToolAtTheOutputCapWithAFailingStatus) {
    TempMac mac;
    installTool(mac, tool, "flood");
    const auto result = runToolCapturing(mac.mac(), tool, {}, 30);
    ASSERT_TRUE(result);
    EXPECT_NE(result->status, 0);
    EXPECT_EQ(result->output.size(), toolOutputCap);
    EXPECT_FALSE(runTool(mac.mac(), tool, {}, 30));
}

TEST(ToolRunner, CutsStandardErrorShortButLetsTheToolFinish) {
    TempMac mac;
    installTool(mac, tool, "bytes");
    const auto result = runToolCapturing(mac.mac(), tool, {"3000000", "err"}, 30);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 0);
    EXPECT_EQ(result->output, "done\n");
    EXPECT_EQ(result->errors.size(), toolErrorCap);
}

TEST(ToolRunner, HandsOutputToASinkWithinTheCap) {
    TempMac mac;
    installTool(mac, tool, "bytes");
    std::size_t received = 0;
    ToolLimits limits;
    limits.outputCap = 300000;
    limits.outputSink = [&](std::string_view chunk) { received += chunk.size(); };
    const ToolRun run = runToolWithLimits(mac.mac(), tool, {"250000"}, 5, limits);
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(received, 250000u);
    EXPECT_TRUE(run.output.empty());

    received = 0;
    const ToolRun over = runToolWithLimits(mac.mac(), tool, {"400000"}, 5, limits);
    EXPECT_TRUE(over.outputCapped);
    EXPECT_EQ(received, 300000u);
}

TEST(ToolRunner, TimesOutKillingTheToolAndWhatItStarted) {
    TempMac mac;
    installTool(mac, tool, "hang");
    ToolRun run;
    const double taken = secondsTaken([&] { run = runToolWithLimits(mac.mac(), tool, {}, 0.5); });
    EXPECT_EQ(run.end, ToolEnd::timedOut);
    EXPECT_LT(taken, 5.0); // the time-out plus a poll, with room for a slow machine
    std::string helper = run.output.substr(0, run.output.find('\n'));
    ASSERT_FALSE(helper.empty());
    EXPECT_TRUE(processGone(helper)) << helper;
    EXPECT_FALSE(runToolCapturing(mac.mac(), tool, {}, 0.2));
}

TEST(ToolRunner, TimesOutAToolThatClosedItsOutputButKeepsRunning) {
    TempMac mac;
    installTool(mac, tool, "hang-silently");
    ToolRun run;
    const double taken = secondsTaken([&] { run = runToolWithLimits(mac.mac(), tool, {}, 0.3); });
    EXPECT_EQ(run.end, ToolEnd::timedOut);
    EXPECT_LT(taken, 5.0);
}

TEST(ToolRunner, ReturnsWhenTheToolExitsEvenIfAHelperHoldsItsOutput) {
    TempMac mac;
    installTool(mac, tool, "leave-helper");
    ToolRun run;
    const double taken = secondsTaken([&] { run = runToolWithLimits(mac.mac(), tool, {}, 30); });
    EXPECT_EQ(run.end, ToolEnd::exited);
    EXPECT_EQ(run.status, 0);
    EXPECT_LT(taken, 10.0);
    const std::string helper = run.output.substr(0, run.output.find('\n'));
    ASSERT_FALSE(helper.empty());
    EXPECT_TRUE(processGone(helper)) << helper;
}

TEST(ToolRunner, ToolSeesOnlyItsStandardDescriptorsAndNoneLeakHere) {
    TempMac mac;
    installTool(mac, tool, "open-fds");
    const std::size_t before = openDescriptors();
    const auto result = runTool(mac.mac(), tool, {}, 5);
    ASSERT_TRUE(result);
    // ls lists 0, 1, 2, the tool's folder that the script was started through, and the
    // descriptor it reads /proc/self/fd through.
    EXPECT_EQ(*result, "0\n1\n2\n3\n4\n");
    installTool(mac, tool, "hang");
    runToolCapturing(mac.mac(), tool, {}, 0.1);
    installTool(mac, tool, "flood");
    runToolCapturing(mac.mac(), tool, {}, 10);
    EXPECT_EQ(openDescriptors(), before);
}

TEST(ToolRunner, NeverRunsAFileWithoutAnInterpreterThroughAShell) {
    TempMac mac;
    installTool(mac, tool, "no-interpreter");
    const ToolRun run = runToolWithLimits(mac.mac(), tool, {}, 5);
    EXPECT_EQ(run.end, ToolEnd::launchFailed);
    EXPECT_FALSE(runToolCapturing(mac.mac(), tool, {}, 5));
}

TEST(ToolRunner, ZeroTimeoutLaunchesNothing) {
    TempMac mac;
    installScript(mac, tool, "#!/bin/sh\ntouch \"$0.ran\"\n");
    for (double timeout : {0.0, -1.0, std::numeric_limits<double>::quiet_NaN()})
        EXPECT_EQ(runToolWithLimits(mac.mac(), tool, {}, timeout).end, ToolEnd::timedOut);
    EXPECT_FALSE(std::filesystem::exists(mac.host("/usr/bin/tool.ran")));
}

// Each row spoils one property of an otherwise fine tool; the tool would leave a marker if run.
struct Untrusted {
    const char* name;
    std::function<void(const TempMac&)> spoil;
};

class TrustCheck : public ::testing::TestWithParam<Untrusted> {};

TEST_P(TrustCheck, RefusesWithoutLaunching) {
    TempMac mac;
    const std::string marker = mac.host("/ran").string();
    installScript(mac, tool, "#!/bin/sh\ntouch '" + marker + "'\n");
    ASSERT_TRUE(isTrustedExecutable(mac.mac(), tool));
    GetParam().spoil(mac);
    if (IsSkipped())
        return;
    EXPECT_FALSE(isTrustedExecutable(mac.mac(), tool));
    ToolRun run;
    const double taken = secondsTaken([&] { run = runToolWithLimits(mac.mac(), tool, {}, 5); });
    EXPECT_EQ(run.end, ToolEnd::refused);
    EXPECT_LT(taken, 1.0);
    EXPECT_FALSE(runToolCapturing(mac.mac(), tool, {}, 5));
    EXPECT_FALSE(runTool(mac.mac(), tool, {}, 5));
    EXPECT_FALSE(std::filesystem::exists(marker));
}

namespace {
void chmodHost(const std::filesystem::path& path, mode_t mode) {
    ::chmod(path.c_str(), mode);
}
} // namespace

INSTANTIATE_TEST_SUITE_P(
    ToolRunner, TrustCheck,
    ::testing::Values(
        Untrusted{"GroupWritable", [](const TempMac& m) { chmodHost(m.host(tool), 0775); }},
        Untrusted{"WorldWritable", [](const TempMac& m) { chmodHost(m.host(tool), 0757); }},
        Untrusted{"NotExecutable", [](const TempMac& m) { chmodHost(m.host(tool), 0644); }},
        Untrusted{"InWritableFolder",
                  [](const TempMac& m) { chmodHost(m.host("/usr/bin"), 0777); }},
        Untrusted{"InGroupWritableFolder",
                  [](const TempMac& m) { chmodHost(m.host("/usr/bin"), 0775); }},
        Untrusted{"OwnedBySomeoneElse",
                  [](const TempMac& m) {
                      if (::geteuid() != 0)
                          GTEST_SKIP() << "only root can give a file away";
                      ASSERT_EQ(::chown(m.host(tool).c_str(), 4321, 4321), 0);
                  }},
        Untrusted{"SymbolicLinkToAFineTool",
                  [](const TempMac& m) {
                      std::filesystem::rename(m.host(tool), m.host("/usr/bin/real"));
                      m.link("real", tool);
                  }},
        Untrusted{"FolderIsASymbolicLink",
                  [](const TempMac& m) {
                      std::filesystem::rename(m.host("/usr/bin"), m.host("/usr/real-bin"));
                      m.link("real-bin", "/usr/bin");
                  }},
        Untrusted{"InWritableFolderAboveTheTool",
                  [](const TempMac& m) { chmodHost(m.host("/usr"), 0777); }},
        Untrusted{"InGroupWritableMacRoot", [](const TempMac& m) { chmodHost(m.host("/"), 0775); }},
        Untrusted{"InStickyWritableFolderOfItsOwn",
                  [](const TempMac& m) { chmodHost(m.host("/usr/bin"), 01777); }},
        Untrusted{"InFolderAboveOwnedBySomeoneElse",
                  [](const TempMac& m) {
                      if (::geteuid() != 0)
                          GTEST_SKIP() << "only root can give a folder away";
                      ASSERT_EQ(::chown(m.host("/usr").c_str(), 4321, 4321), 0);
                  }},
        Untrusted{"InStickyWritableFolderAboveOwnedBySomeoneElse",
                  [](const TempMac& m) {
                      if (::geteuid() != 0)
                          GTEST_SKIP() << "only root can give a folder away";
                      chmodHost(m.host("/usr"), 01777);
                      ASSERT_EQ(::chown(m.host("/usr").c_str(), 4321, 4321), 0);
                  }},
        Untrusted{"FolderAboveIsASymbolicLink",
                  [](const TempMac& m) {
                      std::filesystem::rename(m.host("/usr"), m.host("/real-usr"));
                      m.link("real-usr", "/usr");
                  }},
        Untrusted{"Missing", [](const TempMac& m) { std::filesystem::remove(m.host(tool)); }},
        Untrusted{"AFolder",
                  [](const TempMac& m) {
                      std::filesystem::remove(m.host(tool));
                      m.mkdir(tool);
                  }}),
    [](const ::testing::TestParamInfo<Untrusted>& info) { return info.param.name; });

// What the trust check lets through, and that each is started and finds its files beside it.
struct Trusted {
    const char* name;
    std::function<void(TempMac&, Mac&)> prepare; // may move the tool or point the Mac elsewhere
    std::string expected;
};

class TrustedTools : public ::testing::TestWithParam<Trusted> {};

TEST_P(TrustedTools, AreStartedAndSeeTheirFolder) {
    TempMac mac;
    installScript(mac, tool, "#!/bin/sh\ncat \"$(dirname \"$0\")/../share/said\"\n");
    mac.write("/usr/share/said", "hello\n");
    Mac watched = mac.mac();
    GetParam().prepare(mac, watched);
    EXPECT_TRUE(isTrustedExecutable(watched, tool));
    const auto result = runToolCapturing(watched, tool, {"a", "b"}, 5);
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 0);
    EXPECT_EQ(result->output, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    ToolRunner, TrustedTools,
    ::testing::Values(Trusted{"Script", [](TempMac&, Mac&) {}, "hello\n"},
                      // Root's sticky folders above the tool, as /tmp is.
                      Trusted{"InStickyRootFolderAboveTheTool",
                              [](TempMac& m, Mac&) { chmodHost(m.host("/usr"), 01777); },
                              "hello\n"},
                      // The Mac's root itself may be reached through a link (a Mac's /tmp is one).
                      Trusted{"MacRootThroughALink",
                              [](TempMac& m, Mac& watched) {
                                  const auto link = m.host("/") / "root-link";
                                  std::filesystem::create_symlink(m.host("/"), link);
                                  watched.root = link.string();
                              },
                              "hello\n"},
                      // A program (not a script) is started through its descriptor.
                      Trusted{"Program",
                              [](TempMac& m, Mac&) {
                                  std::filesystem::copy_file(
                                      "/bin/echo", m.host(tool),
                                      std::filesystem::copy_options::overwrite_existing);
                                  chmodHost(m.host(tool), 0755);
                              },
                              "a b\n"}),
    [](const ::testing::TestParamInfo<Trusted>& info) { return info.param.name; });

TEST(ToolRunner, RefusesAToolPathThatClimbsOutOfTheMac) {
    TempMac mac;
    installScript(mac, tool, "#!/bin/sh\necho ran\n");
    EXPECT_FALSE(isTrustedExecutable(mac.mac(), "/usr/../usr/bin/tool"));
    EXPECT_FALSE(runToolCapturing(mac.mac(), "/usr/../usr/bin/tool", {}, 5));
}
