#include "platform/LoginItem.h"
#include "platform/PowerSource.h"
#include "platform/UserDefaults.h"

#include "base/IsoDate.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryDir>

#include <fstream>
#include <string>

namespace quorvane {
namespace {

QByteArray readAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeAll(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

const Date launch = dateFromUnix(1'796'000'000);

TEST(UserDefaults, DefaultFileIsTheOrganisationsIniFile) {
    EXPECT_TRUE(UserDefaults::defaultFile().endsWith("/Quorvane/Quorvane Ombrel.conf"))
        << UserDefaults::defaultFile().toStdString();
}

TEST(UserDefaults, AcceptingTheTermsWritesTheThreeKeys) {
    QTemporaryDir dir;
    const QString file = dir.filePath("Quorvane Ombrel.conf");
    UserDefaults defaults(file);
    EXPECT_FALSE(defaults.termsAccepted("2026-11-30.3"));
    defaults.acceptTerms("2026-11-30.3", launch, "1.2.3");

    QSettings stored(file, QSettings::IniFormat);
    EXPECT_EQ(stored.value("quorvane.backup.acceptedTermsVersion").toString(), "2026-11-30.3");
    EXPECT_EQ(stored.value("quorvane.backup.acceptedTermsDate").toString().toStdString(),
              isoDateText(launch));
    EXPECT_EQ(stored.value("quorvane.backup.acceptedAppVersion").toString(), "1.2.3");
    EXPECT_TRUE(UserDefaults(file).termsAccepted("2026-11-30.3"));
    // Terms of another version have to be accepted again.
    EXPECT_FALSE(UserDefaults(file).termsAccepted("2027-01-01.1"));
}

TEST(UserDefaults, FirstLaunchDateIsStoredOnceAndNeverRewritten) {
    QTemporaryDir dir;
    const QString file = dir.filePath("Quorvane Ombrel.conf");
    EXPECT_EQ(UserDefaults(file).firstLaunchDate(launch), launch);
    EXPECT_EQ(UserDefaults(file).firstLaunchDate(addSeconds(launch, 86400)), launch);
    EXPECT_EQ(QSettings(file, QSettings::IniFormat)
                  .value("quorvane.backup.firstLaunchDate")
                  .toString()
                  .toStdString(),
              isoDateText(launch));

    // A value that is not a date is still the user's: it is left alone.
    QSettings(file, QSettings::IniFormat).setValue("quorvane.backup.firstLaunchDate", "soon");
    const QByteArray before = readAll(file);
    EXPECT_EQ(UserDefaults(file).firstLaunchDate(addSeconds(launch, 7200)),
              addSeconds(launch, 7200));
    EXPECT_EQ(readAll(file), before);
}

TEST(UserDefaults, DamagedFileReadsAsTermsNotAcceptedAndIsNotRewritten) {
    QTemporaryDir dir;
    const QString file = dir.filePath("Quorvane Ombrel.conf");
    // Accepted terms and a first launch, then the file is damaged.
    UserDefaults(file).acceptTerms("2026-11-30.3", launch, "1");
    UserDefaults(file).firstLaunchDate(launch);
    QByteArray damaged = readAll(file);
    damaged.prepend("[General\n\xff\xfe garbage\n");
    writeAll(file, damaged);

    UserDefaults defaults(file);
    EXPECT_TRUE(defaults.damaged());
    EXPECT_FALSE(defaults.termsAccepted("2026-11-30.3"));
    EXPECT_EQ(defaults.firstLaunchDate(addSeconds(launch, 60)), addSeconds(launch, 60));
    EXPECT_EQ(readAll(file), damaged);

    // Accepting again is the user's own choice and repairs the file.
    defaults.acceptTerms("2026-11-30.3", launch, "1");
    EXPECT_TRUE(UserDefaults(file).termsAccepted("2026-11-30.3"));
}

TEST(PowerSource, OnlyABatterySupplyCountsAsInternalBattery) {
    struct Row {
        const char* name;
        std::vector<std::pair<const char*, const char*>> supplies; // folder, type
        bool battery;
    };
    const Row rows[] = {
        {"no supplies", {}, false},
        {"mains only", {{"AC", "Mains\n"}}, false},
        {"mains and battery", {{"AC", "Mains\n"}, {"BAT0", "Battery\n"}}, true},
        {"a UPS is not internal", {{"ups", "UPS\n"}}, false},
    };
    for (const Row& row : rows) {
        testing::TempMac mac;
        for (const auto& [folder, type] : row.supplies)
            mac.write(std::string("/sys/class/power_supply/") + folder + "/type", type);
        EXPECT_EQ(hasInternalBattery(mac.mac()), row.battery) << row.name;
    }
}

TEST(LoginItem, ExecArgumentIsQuotedForDesktopEntries) {
    struct Row {
        std::string path, quoted;
    };
    const Row rows[] = {
        {"/usr/bin/quorvane-ombrel", R"("/usr/bin/quorvane-ombrel")"},
        {"/opt/My Apps/quorvane", R"("/opt/My Apps/quorvane")"},
        {R"(/a"b`c$d)", R"("/a\\"b\\`c\\$d")"},
        {R"(/back\slash)", R"("/back\\\\slash")"},
        {"/100%/q", R"("/100%%/q")"},
    };
    for (const Row& row : rows)
        EXPECT_EQ(quotedExecArgument(row.path), row.quoted) << row.path;
}

TEST(LoginItem, EnablingWritesTheAutostartEntryAndDisablingRemovesIt) {
    QTemporaryDir dir;
    const QString file = dir.filePath("config/autostart/quorvane-ombrel.desktop");
    LoginItem item(file, "/opt/Quorvane Ombrel/quorvane-ombrel");
    EXPECT_FALSE(item.enabled());

    item.setEnabled(true);
    EXPECT_TRUE(item.enabled());
    const QByteArray entry = readAll(file);
    EXPECT_TRUE(entry.startsWith("[Desktop Entry]\n"));
    EXPECT_TRUE(entry.contains("\nType=Application\n"));
    EXPECT_TRUE(entry.contains("\nExec=\"/opt/Quorvane Ombrel/quorvane-ombrel\"\n"));

    item.setEnabled(false);
    EXPECT_FALSE(QFile::exists(file));
    EXPECT_FALSE(item.enabled());
}

TEST(LoginItem, HiddenEntryIsNotEnabled) {
    QTemporaryDir dir;
    const QString file = dir.filePath("quorvane-ombrel.desktop");
    const LoginItem item(file, "/usr/bin/quorvane-ombrel");
    writeAll(file, "[Desktop Entry]\nType=Application\nExec=x\nHidden = true\n");
    EXPECT_FALSE(item.enabled());
    // Only the main group counts.
    writeAll(file, "[Desktop Entry]\nExec=x\n[Desktop Action quit]\nHidden=true\n");
    EXPECT_TRUE(item.enabled());
}

} // namespace
} // namespace quorvane
