#include "cycle/CheckReading.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

namespace quorvane {
namespace {

const Date now = dateFromUnix(1'796'904'000);

TEST(CheckReading, LogWindowGoesBackAtMostThirtySixHours) {
    const Date limit = addSeconds(now, -129600);
    EXPECT_EQ(logWindowStart(std::nullopt, now), limit);
    EXPECT_EQ(logWindowStart(addSeconds(now, -4 * 86400), now), limit);
    EXPECT_EQ(logWindowStart(addSeconds(now, -3600), now), addSeconds(now, -3600));
}

std::string destinationXML(const std::string& id, const std::string& url) {
    return "<dict><key>DestinationID</key><string>" + id +
           "</string><key>NetworkURL</key><string>" + url + "</string></dict>";
}

// Time Machine set up with three network destinations, two of them on the same host.
void writeSettings(const testing::TempMac& mac) {
    mac.write("/Library/Preferences/com.apple.TimeMachine.plist",
              "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
              "<key>AutoBackup</key><true/><key>Destinations</key><array>" +
                  destinationXML("A", "smb://nas.local/One") +
                  destinationXML("B", "smb://ann@nas.local/Two") +
                  destinationXML("C", "afp://old.local/Three") + "</array></dict></plist>");
}

TEST(CheckReading, ProbesEachNetworkHostOnceAndOnlyWhenAsked) {
    testing::TempMac mac;
    writeSettings(mac);
    std::map<std::string, int> probed;
    const ReachabilityProbe probe = [&](const std::string& host, std::uint16_t port, double) {
        EXPECT_EQ(port, 445);
        ++probed[host];
        return host == "nas.local";
    };

    const CheckReading off = readCheck(mac.mac(), addSeconds(now, -3600), false, now, probe);
    ASSERT_TRUE(off.reading.isRead());
    EXPECT_EQ(off.reading.settings->destinations.size(), 3u);
    EXPECT_TRUE(probed.empty());
    EXPECT_TRUE(off.unreachable.empty());

    const CheckReading on = readCheck(mac.mac(), addSeconds(now, -3600), true, now, probe);
    EXPECT_EQ(probed, (std::map<std::string, int>{{"nas.local", 1}, {"old.local", 1}}));
    EXPECT_EQ(on.unreachable, (std::set<std::string>{"old.local"}));
}

// A Mac without Time Machine's tools still gives a whole reading: the failures are cases.
TEST(CheckReading, MissingToolsAreReadAsFailures) {
    testing::TempMac mac;
    const CheckReading reading = readCheck(mac.mac(), addSeconds(now, -3600), true, now,
                                           [](const std::string&, std::uint16_t, double) {
                                               ADD_FAILURE() << "nothing to probe";
                                               return false;
                                           });
    EXPECT_EQ(reading.reading, SettingsReading::notSetUp());
    EXPECT_FALSE(reading.run);
    ASSERT_TRUE(reading.log);
    EXPECT_EQ(reading.log->which, LogReading::Case::failed);
    EXPECT_TRUE(reading.tools.empty());
    ASSERT_TRUE(reading.os); // with no version file the running system stands in for macOS
    EXPECT_FALSE(reading.os->version.empty());
    EXPECT_TRUE(reading.cloudStorageNames.empty());
    EXPECT_EQ(reading.readAt, now);
}

TEST(CheckReading, CloudStorageNamesComeFromARealFolderOnly) {
    testing::TempMac mac;
    mac.mkdir("/Users/ann/Library/CloudStorage/OneDrive-Personal");
    mac.mkdir("/Users/ann/Library/CloudStorage/Dropbox");
    mac.write("/Users/ann/Library/CloudStorage/.DS_Store", "x");
    EXPECT_EQ(readCheck(mac.mac(), now, false, now).cloudStorageNames,
              (std::vector<std::string>{".DS_Store", "Dropbox", "OneDrive-Personal"}));

    testing::TempMac linked;
    linked.mkdir("/Elsewhere/Dropbox");
    linked.link(linked.host("/Elsewhere").string(), "/Users/ann/Library/CloudStorage");
    EXPECT_TRUE(folderEntryNames(linked.mac(), "/Users/ann/Library/CloudStorage").empty());
}

} // namespace
} // namespace quorvane
