#pragma once

// An AppModel on a simulated Mac, with a hand-driven clock, a reader the test controls, private
// state and settings folders and, when asked, a private bus with the fake notification service.

#include "model/AppModel.h"
#include "platform/UserDefaults.h"

#include "TestBus.h"
#include "support/TempMac.h"

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <vector>

namespace quorvane::testing {

// 2026-12-10 10:00:00 UTC
inline constexpr Date checkTime = dateFromUnix(1'797'933'600);

// What the test's reader was asked for, and what it answers; shared with the check threads.
struct ReaderScript {
    std::mutex lock;
    std::vector<Date> logSince; // one entry per check started
    std::function<CheckReading(Date logSince)> answer = [](Date) { return CheckReading{}; };

    AppModel::Reader reader(std::shared_ptr<ReaderScript> self) {
        return [self](const Mac&, Date logSince, bool, Date) {
            std::function<CheckReading(Date)> answer;
            {
                std::lock_guard guard(self->lock);
                self->logSince.push_back(logSince);
                answer = self->answer;
            }
            return answer(logSince);
        };
    }
    std::size_t calls() {
        std::lock_guard guard(lock);
        return logSince.size();
    }
};

class ModelFixture : public ::testing::Test {
protected:
    TempMac mac;
    QTemporaryDir dirs;
    Date now = checkTime;
    std::shared_ptr<ReaderScript> script = std::make_shared<ReaderScript>();
    std::unique_ptr<TestBus> bus;
    std::unique_ptr<FakeNotificationService> service;
    std::unique_ptr<AppModel> model;

    std::filesystem::path stateFolder() const { return dirs.filePath("state").toStdString(); }
    QString defaultsFile() const { return dirs.filePath("config/Quorvane/Quorvane Ombrel.conf"); }

    void acceptTermsBeforeLaunch() {
        UserDefaults(defaultsFile()).acceptTerms(termsVersion, now, "0.1.0");
    }
    // A bus of our own, with the fake service unless `serviceOptions` is absent.
    void startBus(std::optional<QStringList> serviceOptions = QStringList{}) {
        bus = std::make_unique<TestBus>();
        if (serviceOptions)
            service = std::make_unique<FakeNotificationService>(*bus, *serviceOptions);
    }
    void writePrefs(const WatchPreferences& prefs) {
        JSONFileStore<WatchPreferences>(preferencesFileName, stateFolder()).save(prefs);
    }
    HistoryRecord savedHistory() {
        return JSONFileStore<HistoryRecord>(std::string(historyFileName), stateFolder()).load();
    }
    WatchPreferences savedPrefs() {
        return JSONFileStore<WatchPreferences>(preferencesFileName, stateFolder()).load();
    }

    AppModel::Setup setup(AppModel::Timings timings = {}) {
        AppModel::Setup s;
        s.mac = mac.mac();
        s.stateFolder = stateFolder();
        s.clock = [this] { return now; };
        s.userDefaultsFile = defaultsFile();
        s.loginItemFile = dirs.filePath("config/autostart/quorvane-ombrel.desktop");
        s.executable = "/usr/bin/quorvane-ombrel";
        if (bus)
            s.sessionBus = bus->connection();
        s.reader = script->reader(script);
        s.timings = timings;
        return s;
    }
    void launch(AppModel::Timings timings = {}) {
        model = std::make_unique<AppModel>(setup(timings));
    }
    // Waits until `count` checks in all have been folded in since `spy` was made.
    static bool waitForChecks(QSignalSpy& spy, int count, int timeoutMs = 10000) {
        return QTest::qWaitFor([&] { return spy.size() >= count; }, timeoutMs);
    }
    // Launches with accepted terms and waits for the first check.
    void launchAndCheck(AppModel::Timings timings = {}) {
        acceptTermsBeforeLaunch();
        launch(timings);
        QSignalSpy checks(model.get(), &AppModel::checkFinished);
        ASSERT_TRUE(waitForChecks(checks, 1));
    }
    // Runs one more check and waits for it.
    void check() {
        QSignalSpy checks(model.get(), &AppModel::checkFinished);
        model->refresh();
        ASSERT_TRUE(waitForChecks(checks, 1));
    }
};

// A network disk that completed at `completed` and whose attempts since then did not finish.
inline BackupDestination networkDisk(std::vector<Date> completed, std::vector<Date> attempts) {
    BackupDestination disk;
    disk.id = "NAS-1";
    disk.name = "Living-room NAS";
    disk.kind = BackupDestination::Kind::network;
    disk.networkURL = "smb://nas.local/Backups";
    disk.completed = std::move(completed);
    disk.attempts = std::move(attempts);
    return disk;
}

inline CheckReading readingOf(std::vector<BackupDestination> destinations,
                              std::optional<LogReading> log = LogReading::lines({})) {
    TimeMachineSettings settings;
    settings.automaticBackups = true;
    settings.destinations = std::move(destinations);
    CheckReading reading;
    reading.reading = SettingsReading::read(std::move(settings));
    reading.log = std::move(log);
    return reading;
}

} // namespace quorvane::testing
