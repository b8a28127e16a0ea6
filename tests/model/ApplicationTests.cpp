// The built executable in its normal mode, on the sample Mac and a private bus.

#include "TestBus.h"

#include "health/Preferences.h"
#include "history/History.h"
#include "history/JSONCoding.h"
#include "history/JSONFileStore.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QProcess>
#include <QProcessEnvironment>
#include <QSettings>
#include <QTemporaryDir>

#include <csignal>
#include <filesystem>
#include <optional>
#include <random>
#include <string>

namespace quorvane {
namespace {

using testing::FakeNotificationService;
using testing::TestBus;
namespace fs = std::filesystem;

const std::string nasTitle = "Backups to Living-room NAS (network) are failing";

// The record in `file`, strictly decoded; absent when there is no file. A file that is there
// but does not decode fails the test.
template <class T> std::optional<T> decodedFile(const fs::path& file) {
    std::string bytes;
    switch (storefile::readFile(file, bytes)) {
    case storefile::ReadOutcome::missing:
        return std::nullopt;
    case storefile::ReadOutcome::unreadable:
        ADD_FAILURE() << file << " is unreadable";
        return std::nullopt;
    case storefile::ReadOutcome::read:
        break;
    }
    const auto parsed = storefile::parse(bytes);
    if (!parsed) {
        ADD_FAILURE() << file << " is not JSON: " << bytes;
        return std::nullopt;
    }
    try {
        T value{};
        jsoncoding::decodeValue(*parsed, value);
        return value;
    } catch (const std::exception& error) {
        ADD_FAILURE() << file << " does not decode: " << error.what();
        return std::nullopt;
    }
}

// A fresh copy of the sample Mac, with its own settings and state folders.
class ApplicationFixture : public ::testing::Test {
protected:
    QTemporaryDir dir;
    QString mac = dir.filePath("mac");

    void SetUp() override {
        QProcess make;
        make.start(QUORVANE_MAKE_SAMPLE_MAC,
                   {QString(QUORVANE_SOURCE_DIR) + "/examples/sample-mac", mac});
        ASSERT_TRUE(make.waitForFinished(30000) && make.exitCode() == 0);
        QProcess date;
        date.start(QString(QUORVANE_SOURCE_DIR) + "/examples/sample-dates/apply.sh", {mac});
        ASSERT_TRUE(date.waitForFinished(30000) && date.exitCode() == 0);
        QDir().mkpath(dir.filePath("runtime"));
        QFile::setPermissions(dir.filePath("runtime"), QFileDevice::ReadOwner |
                                                           QFileDevice::WriteOwner |
                                                           QFileDevice::ExeOwner);
    }

    fs::path stateFolder() const { return dir.filePath("data/Quorvane Backup").toStdString(); }
    fs::path historyFile() const { return stateFolder() / "history.json"; }
    fs::path prefsFile() const { return stateFolder() / "preferences.json"; }

    void acceptTerms() {
        QSettings defaults(dir.filePath("config/Quorvane/Quorvane Ombrel.conf"),
                           QSettings::IniFormat);
        defaults.setValue("quorvane.backup.acceptedTermsVersion", "2026-11-30.3");
    }
    void turnOnAlerts() {
        WatchPreferences prefs;
        prefs.alertsOn = true;
        JSONFileStore<WatchPreferences>("preferences.json", stateFolder()).save(prefs);
    }

    QProcessEnvironment environment(const TestBus* bus) const {
        QProcessEnvironment env;
        env.insert("PATH", "/usr/bin:/bin");
        env.insert("HOME", dir.filePath("home"));
        env.insert("XDG_CONFIG_HOME", dir.filePath("config"));
        env.insert("XDG_DATA_HOME", dir.filePath("data"));
        env.insert("XDG_RUNTIME_DIR", dir.filePath("runtime"));
        env.insert("QUORVANE_ROOT", mac);
        env.insert("QUORVANE_HOME", "/Users/ann");
        env.insert("TZ", "Europe/Berlin");
        env.insert("LANG", "en_US.UTF-8");
        env.insert("LC_ALL", "en_US.UTF-8");
        // Never the machine's own buses.
        env.insert("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + dir.filePath("no-system-bus"));
        env.insert("DBUS_SESSION_BUS_ADDRESS",
                   bus ? bus->address() : "unix:path=" + dir.filePath("no-session-bus"));
        if (const QString asan = qEnvironmentVariable("ASAN_OPTIONS"); !asan.isEmpty())
            env.insert("ASAN_OPTIONS", asan);
        return env;
    }

    void start(QProcess& app, QProcessEnvironment env) {
        app.setProcessEnvironment(env);
        app.setStandardInputFile(QProcess::nullDevice());
        app.setStandardOutputFile(dir.filePath("app.out"), QIODevice::Append);
        app.setStandardErrorFile(dir.filePath("app.err"), QIODevice::Append);
        app.start(QUORVANE_EXECUTABLE, {});
        ASSERT_TRUE(app.waitForStarted(5000));
    }
};

TEST_F(ApplicationFixture, WithoutADisplayItSaysSoAndEnds) {
    QProcess app;
    start(app, environment(nullptr));
    ASSERT_TRUE(app.waitForFinished(10000));
    EXPECT_EQ(app.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(app.exitCode(), 1);
    QFile errors(dir.filePath("app.err"));
    ASSERT_TRUE(errors.open(QIODevice::ReadOnly));
    const QString error = QString::fromUtf8(errors.readAll());
    EXPECT_EQ(error.count('\n'), 1) << error.toStdString();
    EXPECT_TRUE(error.contains("--print-status")) << error.toStdString();
    EXPECT_FALSE(fs::exists(stateFolder()));
}

TEST_F(ApplicationFixture, FailingNetworkDiskIsAnnouncedAndTheProcessEndsCleanlyOnASignal) {
    acceptTerms();
    turnOnAlerts();
    for (const int signal : {SIGTERM, SIGINT}) {
        // Each run starts without a history, so it has something to announce.
        fs::remove(historyFile());
        TestBus bus;
        FakeNotificationService service(bus);
        QProcessEnvironment env = environment(&bus);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        QProcess app;
        start(app, env);
        ASSERT_TRUE(service.waitForNotifications(1, 30000)) << signal;
        // Let the second save of the check land before the signal.
        QTest::qWait(500);
        ::kill(static_cast<pid_t>(app.processId()), signal);
        ASSERT_TRUE(app.waitForFinished(15000));
        EXPECT_EQ(app.exitStatus(), QProcess::NormalExit) << signal;
        EXPECT_EQ(app.exitCode(), 0) << signal;

        if (signal == SIGTERM) {
            QStringList titles;
            for (const QJsonObject& posted : service.notifications())
                titles << posted["summary"].toString();
            EXPECT_TRUE(titles.contains(QString::fromStdString(nasTitle)))
                << titles.join(" | ").toStdString();
            const QJsonObject first = service.notifications()[0];
            EXPECT_EQ(first["app_name"], "Quorvane Ombrel");
            EXPECT_EQ(first["hints"].toObject()["desktop-entry"], "quorvane-ombrel");

            const auto history = decodedFile<HistoryRecord>(historyFile());
            ASSERT_TRUE(history);
            bool alerted = false;
            for (const auto& [id, title] : history->alertedTitles)
                alerted = alerted || (id.starts_with("failing:") && title == nasTitle);
            EXPECT_TRUE(alerted);
            EXPECT_TRUE(history->logReadUpTo);
            EXPECT_FALSE(history->events.empty());
            const auto prefs = decodedFile<WatchPreferences>(prefsFile());
            ASSERT_TRUE(prefs);
            EXPECT_TRUE(prefs->alertsOn);
            // Nothing else goes into the state folder.
            std::vector<std::string> files;
            for (const auto& entry : fs::directory_iterator(stateFolder()))
                files.push_back(entry.path().filename().string());
            std::sort(files.begin(), files.end());
            EXPECT_EQ(files, (std::vector<std::string>{"history.json", "preferences.json"}));
        }
    }
}

// Killed at any moment, the state files are each the previous or the next version, whole.
TEST_F(ApplicationFixture, KillingTheProcessNeverLeavesAStateFileBroken) {
    acceptTerms();
    TestBus bus;
    FakeNotificationService service(bus);
    QProcessEnvironment env = environment(&bus);
    env.insert("QT_QPA_PLATFORM", "offscreen");
    std::mt19937 random(20261210);
    std::uniform_int_distribution<int> delayMs(0, 900);
    std::size_t events = 0;
    bool hadHistory = false;
    for (int round = 0; round < 24; ++round) {
        // Every other round is a first run again, which writes the preferences.
        if (round % 2 == 0)
            fs::remove(prefsFile());
        else if (round == 1)
            turnOnAlerts();
        QProcess app;
        start(app, env);
        QTest::qWait(delayMs(random));
        app.kill();
        ASSERT_TRUE(app.waitForFinished(10000));

        const auto prefs = decodedFile<WatchPreferences>(prefsFile());
        if (prefs && round % 2 == 0) {
            EXPECT_TRUE(prefs->profile.has_value()) << "round " << round;
        }
        const auto history = decodedFile<HistoryRecord>(historyFile());
        if (hadHistory) {
            ASSERT_TRUE(history) << "round " << round;
        }
        if (history) {
            hadHistory = true;
            EXPECT_GE(history->events.size(), events) << "round " << round;
            events = history->events.size();
        }
        for (const auto& entry : fs::directory_iterator(stateFolder()))
            EXPECT_FALSE(entry.path().filename().string().ends_with(".unreadable"));
    }
    EXPECT_TRUE(hadHistory);
}

} // namespace
} // namespace quorvane
