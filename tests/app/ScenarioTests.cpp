// The whole printout of a few simulated Macs, with the clock, time zone and locale fixed, so
// every line can be compared as it stands.

#include "RunProgram.h"
#include "base/Date.h"
#include "othertools/ArchiveBuilder.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <sys/stat.h>

using namespace quorvane;
using quorvane::testing::ArchiveBuilder;
using quorvane::testing::printStatus;
using quorvane::testing::TempMac;

namespace {

// 2026-12-10 11:00 in Berlin.
constexpr double now = 1'796'896'800;
constexpr double hour = 3600, day = 86400;
const std::string clock = "QUORVANE_NOW=1796896800";

struct Destination {
    std::string id;
    std::optional<std::string> volumeName;
    std::optional<std::string> url;
    std::vector<double> completed;
    std::vector<double> attempts;
};

plist_t dates(const std::vector<double>& unix) {
    plist_t list = plist_new_array();
    for (double t : unix)
        plist_array_append_item(list,
                                plist_new_date(static_cast<int32_t>(t - referenceDateOffset), 0));
    return list;
}

void writeSettings(const TempMac& m, const std::vector<Destination>& destinations,
                   const std::vector<std::string>& excluded = {}) {
    plist_t list = plist_new_array();
    for (const Destination& d : destinations) {
        plist_t entry = plist_new_dict();
        plist_dict_set_item(entry, "DestinationID", plist_new_string(d.id.c_str()));
        if (d.volumeName)
            plist_dict_set_item(entry, "LastKnownVolumeName",
                                plist_new_string(d.volumeName->c_str()));
        if (d.url)
            plist_dict_set_item(entry, "NetworkURL", plist_new_string(d.url->c_str()));
        plist_dict_set_item(entry, "SnapshotDates", dates(d.completed));
        plist_dict_set_item(entry, "AttemptDates", dates(d.attempts));
        plist_dict_set_item(entry, "LastKnownEncryptionState", plist_new_string("Encrypted"));
        plist_array_append_item(list, entry);
    }
    plist_t skip = plist_new_array();
    for (const std::string& path : excluded)
        plist_array_append_item(skip, plist_new_string(path.c_str()));
    plist_t settings = plist_new_dict();
    plist_dict_set_item(settings, "Destinations", list);
    plist_dict_set_item(settings, "AutoBackup", plist_new_bool(1));
    plist_dict_set_item(settings, "SkipPaths", skip);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(settings, &bytes, &length);
    m.write("/Library/Preferences/com.apple.TimeMachine.plist", std::string(bytes, length));
    plist_to_bin_free(bytes);
    plist_free(settings);
}

void writeTool(const TempMac& m, const std::string& macPath, const std::string& script) {
    m.write(macPath, script);
    ::chmod(m.host(macPath).c_str(), 0755);
    ::chmod(m.host(macPath).parent_path().c_str(), 0755);
}

// A tmutil that knows the network share and reports no backup running.
void writeTmutil(const TempMac& m) {
    writeTool(m, "/usr/bin/tmutil", R"(#!/bin/sh
case "$*" in
"destinationinfo -X") cat <<'END'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Destinations</key><array>
<dict><key>ID</key><string>6B1C8D2E-0A4F-4E55-9D7B-2C3F4A5B6C7D</string><key>Kind</key><string>Network</string>
<key>Name</key><string>Attic NAS</string><key>URL</key><string>smb://attic.local/TM</string></dict>
</array></dict></plist>
END
;;
"status -X") cat <<'END'
<?xml version="1.0" encoding="UTF-8"?>
<plist version="1.0"><dict><key>Running</key><false/><key>Percent</key><integer>-1</integer></dict></plist>
END
;;
*) exit 64 ;;
esac
)");
}

// An hourly local disk up to half an hour ago.
Destination officeDisk() {
    Destination d{"LOCAL-1", "Office Disk", std::nullopt, {}, {}};
    for (double t = now - 2 * day; t <= now - 0.5 * hour; t += hour) {
        d.attempts.push_back(t - 300);
        d.completed.push_back(t);
    }
    return d;
}

// A network share that last completed two days ago and failed three times since.
Destination atticShare() {
    return {
        "6B1C8D2E-0A4F-4E55-9D7B-2C3F4A5B6C7D",
        "0F4E4F1A-35C2-4F0A-9B38-0B5C4D1E2F30",
        "smb://ann@attic.local/TM",
        {now - 4 * day, now - 2 * day},
        {now - 4 * day - 600, now - 2 * day - 600, now - 1.5 * day, now - day, now - 0.5 * day}};
}

void writeOtherTools(const TempMac& m) {
    const std::string package = "/Users/ann/Library/Application Support/SuperDuper!/Saved Settings/"
                                "Nightly.sdsp";
    m.write(
        package + "/Logs/2026-12-09 23:00:00 +0100.sdlog",
        "| 23:00:01 | Info | ...ACTION: Copying files\\\n| 23:20:00 | Info | Copy complete.\\\n");
    ArchiveBuilder archive;
    auto task =
        archive.object("DocumentRef", {{"NAME", archive.string("Photos to Archive")},
                                       {"SDAT", archive.date(now - 3 * day - referenceDateOffset)},
                                       {"SUMY", archive.string("Synced 120 files. Errors: 2")},
                                       {"RNAM", archive.string("\"Photos\" on \"Archive\"")}});
    m.write("/Users/ann/Library/Application Support/ChronoSync/Documents.data",
            archive.bytes(archive.array({task})));
    m.mkdir("/Volumes/Archive/Photos");
}

std::string printout(const TempMac& m) {
    auto result = printStatus(m.mac().root, {"--print-status"}, {clock});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    return result.out;
}

} // namespace

TEST(PrintoutScenario, NotSetUpAndUnreadable) {
    TempMac empty;
    EXPECT_EQ(printout(empty),
              "If this Mac stopped working now, there's no completed backup to get "
              "your files back from.\n"
              "Time Machine isn't set up on this Mac\n");
    TempMac garbage;
    garbage.write("/Library/Preferences/com.apple.TimeMachine.plist", "not a property list");
    EXPECT_EQ(printout(garbage), "If this Mac stopped working now, there's no completed backup to "
                                 "get your files back from.\n"
                                 "Couldn't read Time Machine's settings.\n"
                                 "Nothing was changed. Quorvane Ombrel will try again.\n");
}

TEST(PrintoutScenario, HealthyMac) {
    TempMac m;
    writeSettings(m, {officeDisk()});
    EXPECT_EQ(printout(m),
              "If this Mac stopped working now, you could get your files back as they were on "
              "Dec 10, 10:00 (1 hour ago), from Office Disk.\n"
              "Last completed backup: today\n"
              "Dec 10, 10:00 to Office Disk\n"
              "Office Disk: Last completed today.\n");
}

TEST(PrintoutScenario, FailingNetworkShare) {
    TempMac m;
    writeSettings(m, {atticShare()});
    writeTmutil(m);
    EXPECT_EQ(printout(m),
              "If this Mac stopped working now, you could get your files back as they were on "
              "Dec 8, 11:00 (2 days ago), from attic.local.\n"
              "Last completed backup: 2 days ago\n"
              "Dec 8, 11:00 to attic.local (network)\n"
              "attic.local (network): Last completed 2 days ago. 3 attempts since then "
              "didn't finish.\n"
              "[red] Backups to attic.local (network) are failing \u2014 3 attempts since "
              "Dec 8, 11:00 didn't finish.\n"
              "[amber] Backups to attic.local (network) are late \u2014 Last completed 2 "
              "days ago.\n");
}

TEST(PrintoutScenario, OnlyOtherTools) {
    TempMac m;
    writeOtherTools(m);
    EXPECT_EQ(printout(m),
              "If this Mac stopped working now, you could get your files back as they were on "
              "Dec 9, 23:00 (12 hours ago), from SuperDuper!: Nightly.\n"
              "Also on: ChronoSync: Photos to Archive (Photos) (Dec 7).\n"
              "Time Machine isn't set up on this Mac\n"
              "[amber] ChronoSync: Photos to Archive: the last sync finished with 2 "
              "errors. Open ChronoSync and click Log for the details.\n");
}

TEST(PrintoutScenario, EverythingAtOnce) {
    TempMac m;
    writeSettings(m, {officeDisk(), atticShare()},
                  {"/Users/ann/Documents", "~/Pictures/Photos Library.photoslibrary"});
    writeTmutil(m);
    writeOtherTools(m);
    EXPECT_EQ(printout(m),
              "If this Mac stopped working now, you could get your files back as they were on "
              "Dec 10, 10:00 (1 hour ago), from Office Disk.\n"
              "Also on: SuperDuper!: Nightly (Dec 9), attic.local (Dec 8), ChronoSync: "
              "Photos to Archive (Photos) (Dec 7).\n"
              "Not in Time Machine's backup: your Documents folder; your Photos library.\n"
              "Last completed backup: today\n"
              "Dec 10, 10:00 to Office Disk\n"
              "Office Disk: Last completed today.\n"
              "attic.local (network): Last completed 2 days ago. 3 attempts since then "
              "didn't finish.\n"
              "[red] Backups to attic.local (network) are failing \u2014 3 attempts since "
              "Dec 8, 11:00 didn't finish.\n"
              "[amber] Backups to attic.local (network) are late \u2014 Last completed 2 "
              "days ago.\n"
              "[amber] ChronoSync: Photos to Archive: the last sync finished with 2 "
              "errors. Open ChronoSync and click Log for the details.\n");
}
