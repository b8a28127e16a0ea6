#include "timemachine/DestinationInfo.h"

#include "process/FakeTools.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <cstdlib>

using namespace quorvane;
using quorvane::testing::fixtureText;
using quorvane::testing::installTool;
using quorvane::testing::TempMac;

namespace {

const std::string localID = "0A1B2C3D-1111-2222-3333-444455556666";
const std::string networkID = "77777777-8888-9999-AAAA-BBBBCCCCDDDD";

std::string plistXML(std::string_view body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">\n" +
           std::string(body) + "\n</plist>\n";
}

std::string toBinary(const std::string& xml) {
    plist_t root = nullptr;
    plist_from_xml(xml.data(), static_cast<uint32_t>(xml.size()), &root);
    char* bytes = nullptr;
    uint32_t length = 0;
    plist_to_bin(root, &bytes, &length);
    std::string result(bytes, length);
    std::free(bytes);
    plist_free(root);
    return result;
}

// A simulated Mac whose tmutil prints the given captures (and exits with `status`).
void installTmutil(const TempMac& mac, std::string_view destinationInfo, std::string_view status,
                   int exitStatus = 0) {
    installTool(mac, "/usr/bin/tmutil", "tmutil");
    mac.write("/usr/bin/tmutil-destinationinfo.out", destinationInfo);
    mac.write("/usr/bin/tmutil-status.out", status);
    if (exitStatus != 0) {
        mac.write("/usr/bin/tmutil-destinationinfo.exit", std::to_string(exitStatus));
        mac.write("/usr/bin/tmutil-status.exit", std::to_string(exitStatus));
    }
}

} // namespace

TEST(DestinationInfo, ParsesEntriesSkippingThoseWithoutAnID) {
    const std::vector<DestinationInfo> expected{
        {localID, "Ann\xE2\x80\x99s Backup", "Local"},
        {networkID, "Living-room NAS", "Network"},
        {networkID, "A second entry with the same ID", "Local"},
        {"E5E5E5E5-0000-1111-2222-333344445555", std::nullopt, std::nullopt},
    };
    const std::string xml = fixtureText("tools/tmutil-destinationinfo.plist");
    EXPECT_EQ(parseDestinationInfo(xml), expected);
    EXPECT_EQ(parseDestinationInfo(toBinary(xml)), expected);
}

TEST(DestinationInfo, ReadsAHugeListInOnePass) {
    std::string entries;
    for (int i = 0; i < 50000; ++i)
        entries += "<dict><key>ID</key><string>" + std::to_string(i) + "</string></dict>";
    const auto infos = parseDestinationInfo(
        plistXML("<dict><key>Destinations</key><array>" + entries + "</array></dict>"));
    ASSERT_EQ(infos.size(), 50000u);
    EXPECT_EQ(infos.back().id, "49999");
}

TEST(DestinationInfo, OtherShapesGiveAnEmptyList) {
    for (const std::string& bytes :
         {fixtureText("tools/tmutil-destinationinfo-none.txt"), std::string(),
          std::string("\0\0\0", 3), plistXML("<array/>"), plistXML("<dict/>"),
          plistXML("<dict><key>Destinations</key><string>x</string></dict>"),
          plistXML("<dict><key>Destinations</key><array><dict><key>ID</key><string>a</string>"
                   "</dict><string>not a dictionary</string></array></dict>"),
          fixtureText("tools/tmutil-destinationinfo.plist").substr(0, 400)})
        EXPECT_TRUE(parseDestinationInfo(bytes).empty()) << bytes;
}

TEST(DestinationInfo, ParsesRunStates) {
    const struct {
        std::string bytes;
        std::optional<BackupRunState> expected;
    } cases[] = {
        {fixtureText("tools/tmutil-status-idle.plist"),
         BackupRunState{false, "BackupNotRunning", std::nullopt, std::nullopt}},
        {fixtureText("tools/tmutil-status-running.plist"),
         BackupRunState{true, "Copying", 0.25, networkID}},
        {plistXML("<dict><key>Running</key><true/><key>Percent</key><real>0.5</real>"
                  "<key>Progress</key><dict><key>Percent</key><real>0.9</real></dict></dict>"),
         BackupRunState{true, std::nullopt, 0.5, std::nullopt}},
        {plistXML("<dict><key>Percent</key><real>-1</real>"
                  "<key>Progress</key><dict><key>Percent</key><real>0.9</real></dict></dict>"),
         BackupRunState{}},
        {plistXML("<dict><key>Percent</key><string>0.5</string><key>Running</key>"
                  "<string>yes</string><key>BackupPhase</key><integer>3</integer></dict>"),
         BackupRunState{}},
        {plistXML("<dict><key>Running</key><integer>1</integer><key>Percent</key>"
                  "<integer>0</integer></dict>"),
         BackupRunState{true, std::nullopt, 0.0, std::nullopt}},
        {plistXML("<dict/>"), BackupRunState{}},
        {plistXML("<array/>"), std::nullopt},
        {"Time Machine is not configured", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(parseRunState(c.bytes), c.expected) << c.bytes;
}

TEST(DestinationInfo, DisplayNamesCompleteMissingNamesAndUnknownKinds) {
    using Kind = BackupDestination::Kind;
    const std::vector<DestinationInfo> infos{
        {"a", "Disk A", "Local"},   {"b", "NAS B", "Network"},     {"b", "Ignored", "Local"},
        {"c", std::nullopt, "USB"}, {"d", "Disk D", std::nullopt},
    };
    const struct {
        const char* what;
        std::string id;
        std::optional<std::string> name;
        Kind kind;
        std::optional<std::string> expectedName;
        Kind expectedKind;
    } cases[] = {
        {"missing name takes the info's", "a", std::nullopt, Kind::local, "Disk A", Kind::local},
        {"UUID-like name is replaced", "a", "5C0D3E2F-1234-4ABC-9DEF-0123456789AB", Kind::local,
         "Disk A", Kind::local},
        {"real name is kept", "a", "My Disk", Kind::unknown, "My Disk", Kind::local},
        {"first info of an id wins", "b", std::nullopt, Kind::unknown, "NAS B", Kind::network},
        {"known kind never changes", "b", "x", Kind::local, "x", Kind::local},
        {"other kind words mean local", "c", std::nullopt, Kind::unknown, std::nullopt,
         Kind::local},
        {"no info kind keeps unknown", "d", std::nullopt, Kind::unknown, "Disk D", Kind::unknown},
        {"no info keeps the name absent", "z", std::nullopt, Kind::unknown, std::nullopt,
         Kind::unknown},
        {"no info drops a UUID-like name", "z", "5C0D3E2F-1234-4ABC-9DEF-0123456789AB",
         Kind::unknown, std::nullopt, Kind::unknown},
    };
    for (const auto& c : cases) {
        TimeMachineSettings settings;
        settings.interval = 7200;
        BackupDestination destination;
        destination.id = c.id;
        destination.name = c.name;
        destination.kind = c.kind;
        destination.resultCode = 19;
        settings.destinations = {destination};
        const TimeMachineSettings merged = withDisplayNames(settings, infos);
        ASSERT_EQ(merged.destinations.size(), 1u);
        EXPECT_EQ(merged.destinations[0].name, c.expectedName) << c.what;
        EXPECT_EQ(merged.destinations[0].kind, c.expectedKind) << c.what;
        EXPECT_EQ(merged.destinations[0].resultCode, 19) << c.what;
        EXPECT_EQ(merged.interval, 7200) << c.what;
    }
}

TEST(DestinationInfo, ReadsThroughTheMacsTmutil) {
    TempMac mac;
    installTmutil(mac, fixtureText("tools/tmutil-destinationinfo.plist"),
                  fixtureText("tools/tmutil-status-running.plist"));
    EXPECT_EQ(readDestinationInfo(mac.mac(), 5).size(), 4u);
    EXPECT_EQ(readRunState(mac.mac(), 5), (BackupRunState{true, "Copying", 0.25, networkID}));
}

TEST(DestinationInfo, FailingOrMissingTmutilGivesNothing) {
    TempMac failing;
    installTmutil(failing, fixtureText("tools/tmutil-destinationinfo.plist"),
                  fixtureText("tools/tmutil-status-running.plist"), 1);
    EXPECT_TRUE(readDestinationInfo(failing.mac(), 5).empty());
    EXPECT_FALSE(readRunState(failing.mac(), 5));

    TempMac none;
    installTmutil(none, fixtureText("tools/tmutil-destinationinfo-none.txt"), "");
    EXPECT_TRUE(readDestinationInfo(none.mac(), 5).empty());
    EXPECT_FALSE(readRunState(none.mac(), 5));

    TempMac missing;
    EXPECT_TRUE(readDestinationInfo(missing.mac(), 5).empty());
    EXPECT_FALSE(readRunState(missing.mac(), 5));
}

TEST(DestinationInfo, ReadStatusMergesDisplayNamesIntoTheSettings) {
    TempMac mac;
    mac.write("/Library/Preferences/com.apple.TimeMachine.plist",
              plistXML("<dict><key>Destinations</key><array><dict>"
                       "<key>DestinationID</key><string>" +
                       localID +
                       "</string><key>LastKnownVolumeName</key>"
                       "<string>5C0D3E2F-1234-4ABC-9DEF-0123456789AB</string></dict></array>"
                       "</dict>"));
    installTmutil(mac, fixtureText("tools/tmutil-destinationinfo.plist"), "");
    const SettingsReading reading = readStatus(mac.mac());
    ASSERT_TRUE(reading.isRead());
    ASSERT_EQ(reading.settings->destinations.size(), 1u);
    EXPECT_EQ(reading.settings->destinations[0].name, "Ann\xE2\x80\x99s Backup");
    EXPECT_EQ(readStatus(TempMac().mac()), SettingsReading::notSetUp());
}
