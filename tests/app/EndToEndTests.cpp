// Runs the built executable against small simulated Macs and compares what it prints.

#include "RunProgram.h"
#include "timemachine/StatusText.h"

#include <gtest/gtest.h>
#include <plist/plist.h>
#include <unicode/calendar.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace quorvane;
using namespace quorvane::testing;
namespace fs = std::filesystem;

namespace {

// Unix seconds of a wall-clock time `daysAgo` days before today, in this process's time zone.
double localNoon(int daysAgo) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(status));
    calendar->setTime(icu::Calendar::getNow(), status);
    calendar->set(UCAL_HOUR_OF_DAY, 12);
    calendar->set(UCAL_MINUTE, 0);
    calendar->set(UCAL_SECOND, 0);
    calendar->set(UCAL_MILLISECOND, 0);
    calendar->add(UCAL_DATE, -daysAgo, status);
    return calendar->getTime(status) / 1000.0;
}

// A Mac whose one local disk last completed a backup two days ago at noon.
void writeHealthyMac(const fs::path& root, double completed) {
    plist_t disk = plist_new_dict();
    plist_dict_set_item(disk, "DestinationID", plist_new_string("D1"));
    plist_dict_set_item(disk, "LastKnownVolumeName", plist_new_string("Ann's Disk"));
    plist_t dates = plist_new_array();
    plist_array_append_item(
        dates, plist_new_date(static_cast<int32_t>(completed - referenceDateOffset), 0));
    plist_dict_set_item(disk, "SnapshotDates", dates);
    plist_t destinations = plist_new_array();
    plist_array_append_item(destinations, disk);
    plist_t settings = plist_new_dict();
    plist_dict_set_item(settings, "Destinations", destinations);
    plist_dict_set_item(settings, "AutoBackup", plist_new_bool(1));
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(settings, &bytes, &length);
    fs::create_directories(root / "Library/Preferences");
    std::ofstream(root / "Library/Preferences/com.apple.TimeMachine.plist", std::ios::binary)
        .write(bytes, length);
    plist_to_bin_free(bytes);
    plist_free(settings);
}

const fs::path fixtures = QUORVANE_FIXTURES;

// The recovery answer's first line when no backup exists anywhere.
const std::string nothingToRestore =
    "If this Mac stopped working now, there's no completed backup to get your files back from.\n";
const std::string notSetUpText = nothingToRestore + "Time Machine isn't set up on this Mac\n";

} // namespace

TEST(PrintStatusEndToEnd, NotSetUpAndUnreadableShowOnlyTheHeadline) {
    Scratch empty("e2e-not-set-up");
    const ProcessResult notSetUp = printStatus(empty.path);
    EXPECT_EQ(notSetUp.status, 0);
    EXPECT_EQ(notSetUp.out, notSetUpText);
    EXPECT_EQ(notSetUp.err, "");

    const ProcessResult unreadable = printStatus(fixtures / "timemachine-settings/garbage");
    EXPECT_EQ(unreadable.status, 0);
    EXPECT_EQ(unreadable.out, nothingToRestore +
                                  "Couldn't read Time Machine's settings.\n"
                                  "Nothing was changed. Quorvane Ombrel will try again.\n");
}

TEST(PrintStatusEndToEnd, HealthyMacShowsTheLastBackupPerDisk) {
    Scratch mac("e2e-healthy");
    const double completed = localNoon(2);
    writeHealthyMac(mac.path, completed);
    const ProcessResult result = printStatus(mac.path);
    EXPECT_EQ(result.status, 0);
    const std::string when = shortDate(dateFromUnix(completed), currentDate());
    EXPECT_EQ(result.out, "If this Mac stopped working now, you could get your files back as they "
                          "were on " +
                              when +
                              " (2 days ago), from Ann's Disk.\n"
                              "Last completed backup: 2 days ago\n" +
                              when +
                              " to Ann's Disk\n"
                              "Ann's Disk: Last completed 2 days ago.\n"
                              "[amber] Backups to Ann's Disk are late \u2014 Last completed 2 days "
                              "ago.\n");
    EXPECT_EQ(result.err, "");
}

TEST(PrintStatusEndToEnd, SampleMacNamesTheShareFromTmutil) {
    Scratch sample("e2e-sample-mac");
    const fs::path mac = sample.path / "mac";
    const ProcessResult made =
        run(QUORVANE_MAKE_SAMPLE_MAC,
            {std::string(QUORVANE_SOURCE_DIR) + "/examples/sample-mac", mac.string()}, {});
    ASSERT_EQ(made.status, 0) << made.err;
    const ProcessResult result = printStatus(mac);
    EXPECT_EQ(result.status, 0);
    const std::string out = result.out;
    EXPECT_TRUE(out.starts_with("If this Mac stopped working now, you could get your files back"))
        << out;
    EXPECT_NE(out.find("\nLast completed backup: yesterday\n"), std::string::npos) << out;
    EXPECT_NE(out.find(" to Ann\u2019s Backup\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nAnn\u2019s Backup: Last completed yesterday.\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("\nLiving-room NAS (network): Last completed 3 days ago. 3 attempts since "
                       "then didn't finish.\n"),
              std::string::npos)
        << out;
    EXPECT_EQ(out.find("\n\n"), std::string::npos);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
}

TEST(PrintStatusEndToEnd, OutputGoesOnlyIntoTemporaryFolders) {
    Scratch empty("e2e-output-path");
    const std::string expected = notSetUpText;

    const fs::path inTmp = "/tmp/quorvane-e2e-" + std::to_string(::getpid()) + ".txt";
    const ProcessResult written = printStatus(empty.path, {"--print-status", inTmp.string()});
    EXPECT_EQ(written.status, 0);
    EXPECT_EQ(written.out, "");
    EXPECT_EQ(written.err, "");
    EXPECT_EQ(slurp(inTmp), expected);
    fs::remove(inTmp);

    // The temporary folder named by TMPDIR counts too.
    const fs::path inTmpdir = empty.path / "status.txt";
    const ProcessResult viaTmpdir = printStatus(empty.path, {"--print-status", inTmpdir.string()},
                                                {"TMPDIR=" + empty.path.string()});
    EXPECT_EQ(viaTmpdir.out, "");
    EXPECT_EQ(slurp(inTmpdir), expected);

    // Climbing out of /tmp is judged on the standardised path.
    const std::string escaped = "quorvane-e2e-escaped-" + std::to_string(::getpid());
    const ProcessResult refused = printStatus(empty.path, {"--print-status", "/tmp/../" + escaped});
    EXPECT_EQ(refused.status, 0);
    EXPECT_EQ(refused.out, "");
    EXPECT_EQ(refused.err, "--print-status writes only inside a temporary folder.\n");
    EXPECT_FALSE(fs::exists("/" + escaped));
}

TEST(PrintStatusEndToEnd, LinksInsideTmpDoNotLeadTheFileElsewhere) {
    Scratch empty("e2e-links");
    // Outside every temporary folder the printout accepts (the build folder itself may be in /tmp).
    const fs::path outside = "/var/tmp/quorvane-e2e-outside-" + std::to_string(::getpid());
    fs::create_directories(outside);
    const fs::path link = "/tmp/quorvane-e2e-link-" + std::to_string(::getpid());
    fs::remove(link);
    fs::create_directory_symlink(outside, link);
    // The path is inside /tmp, so there is no refusal; its folder is a link, so no file either.
    const ProcessResult viaFolderLink =
        printStatus(empty.path, {"--print-status", (link / "x.txt").string()});
    EXPECT_EQ(viaFolderLink.err, "");
    EXPECT_EQ(viaFolderLink.out, "");
    EXPECT_FALSE(fs::exists(outside / "x.txt"));

    // A link at the file's own place is replaced, not written through.
    const fs::path victim = outside / "victim.txt";
    std::ofstream(victim) << "keep me\n";
    const fs::path fileLink = "/tmp/quorvane-e2e-file-link-" + std::to_string(::getpid());
    fs::remove(fileLink);
    fs::create_symlink(victim, fileLink);
    const ProcessResult viaFileLink =
        printStatus(empty.path, {"--print-status", fileLink.string()});
    EXPECT_EQ(viaFileLink.err, "");
    EXPECT_EQ(slurp(victim), "keep me\n");
    EXPECT_FALSE(fs::is_symlink(fileLink));
    EXPECT_EQ(slurp(fileLink), notSetUpText);

    fs::remove(fileLink);
    fs::remove(link);
    fs::remove_all(outside);
}

TEST(PrintStatusEndToEnd, FolderSwappedForALinkWhileReadingDoesNotMoveTheFile) {
    const std::string pid = std::to_string(::getpid());
    const fs::path outside = "/var/tmp/quorvane-e2e-swap-outside-" + pid;
    const fs::path landing = "/tmp/quorvane-e2e-swap-" + pid;
    const fs::path moved = landing.string() + ".moved";
    for (const fs::path& p : {outside, landing, moved})
        fs::remove_all(p);
    fs::create_directories(outside);
    fs::create_directories(landing);

    // The Mac's tmutil runs after the path was judged and before the file is written: it moves
    // the landing folder away and puts a link to a folder outside /tmp in its place.
    Scratch mac("e2e-swap");
    writeHealthyMac(mac.path, localNoon(2));
    const fs::path tmutil = mac.path / "usr/bin/tmutil";
    fs::create_directories(tmutil.parent_path());
    const std::string from = "'" + landing.string() + "'";
    std::ofstream(tmutil) << "#!/bin/sh\n[ -L " << from << " ] || { mv " << from << " '"
                          << moved.string() << "' && ln -s '" << outside.string() << "' " << from
                          << "; }\n";
    for (const fs::path& p : {mac.path / "usr", mac.path / "usr/bin", tmutil})
        fs::permissions(p, fs::perms(0755));

    const ProcessResult run =
        printStatus(mac.path, {"--print-status", (landing / "status.txt").string()});
    EXPECT_EQ(run.err, "");
    ASSERT_TRUE(fs::is_symlink(landing)) << "the fake tmutil did not run";
    EXPECT_FALSE(fs::exists(outside / "status.txt"));
    EXPECT_NE(slurp(moved / "status.txt").find("Ann's Disk"), std::string::npos);

    for (const fs::path& p : {outside, landing, moved})
        fs::remove_all(p);
}

// Inside /tmp by its text, but with a folder that cannot be opened: no file and no refusal.
TEST(PrintStatusEndToEnd, UnopenableFolderInsideTmpIsASilentFailure) {
    Scratch empty("e2e-unopenable");
    const fs::path base = "/tmp/quorvane-e2e-unopenable-" + std::to_string(::getpid());
    fs::remove_all(base);
    fs::create_directories(base);
    fs::create_symlink(base / "loop", base / "loop");
    fs::create_directories(base / "locked");
    fs::permissions(base / "locked", fs::perms::none);
    struct Case {
        const char* name;
        fs::path path;
    };
    const Case cases[] = {
        {"missing folder", base / "missing/status.txt"},
        {"link loop", base / "loop/status.txt"},
        {"folder of mode 000", base / "locked/status.txt"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (std::string(c.name) == "folder of mode 000" && ::geteuid() == 0)
            continue; // root opens it all the same
        const ProcessResult run = printStatus(empty.path, {"--print-status", c.path.string()});
        EXPECT_EQ(run.status, 0);
        EXPECT_EQ(run.out, "");
        EXPECT_EQ(run.err, "");
        std::error_code unreachable; // the loop cannot even be looked at
        EXPECT_FALSE(fs::exists(c.path, unreachable));
    }
    fs::permissions(base / "locked", fs::perms::owner_all);
    fs::remove_all(base);
}

TEST(PrintStatusEndToEnd, PrintoutWinsAndTheSmokeTestIsNotBuiltYet) {
    Scratch empty("e2e-modes");
    const ProcessResult both = printStatus(empty.path, {"--print-status", "--smoke-test"});
    EXPECT_EQ(both.out, notSetUpText);
    const ProcessResult reversed = printStatus(empty.path, {"--smoke-test", "--print-status"});
    EXPECT_EQ(reversed.out, notSetUpText);

    // The normal mode has tests of its own (tests/model).
    const ProcessResult smoke = printStatus(empty.path, {"--smoke-test"});
    EXPECT_EQ(smoke.status, 0);
    EXPECT_EQ(smoke.out, "");
    EXPECT_NE(smoke.err.find("not part of this build yet"), std::string::npos) << smoke.err;
}
