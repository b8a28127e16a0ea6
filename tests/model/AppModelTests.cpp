#include "ModelFixture.h"

#include "model/Notifier.h"

#include <gtest/gtest.h>

#include <QSettings>

#include <condition_variable>
#include <filesystem>
#include <fstream>

namespace quorvane {
namespace {

using testing::checkTime;
using testing::ModelFixture;
using testing::networkDisk;
using testing::readingOf;
namespace fs = std::filesystem;

const double hour = 3600;
const double day = 86400;

std::vector<std::string> filesIn(const fs::path& folder) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(folder, error))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// A network disk that last completed three hours ago, with two attempts since.
CheckReading failingNetworkDisk(std::optional<LogReading> log = LogReading::lines({})) {
    return readingOf(
        {networkDisk({addSeconds(checkTime, -3 * hour)},
                     {addSeconds(checkTime, -2 * hour), addSeconds(checkTime, -1 * hour)})},
        std::move(log));
}

bool hasIssue(const std::vector<Issue>& issues, IssueKind kind) {
    return std::any_of(issues.begin(), issues.end(),
                       [&](const Issue& issue) { return issue.kind == kind; });
}

TEST_F(ModelFixture, FirstRunChoosesTheProfileFromTheBattery) {
    for (const bool battery : {true, false}) {
        testing::TempMac machine;
        if (battery)
            machine.write("/sys/class/power_supply/BAT0/type", "Battery\n");
        QTemporaryDir state;
        AppModel::Setup s = setup();
        s.mac = machine.mac();
        s.stateFolder = state.filePath("state").toStdString();
        AppModel first(std::move(s));
        const WatchPreferences saved =
            JSONFileStore<WatchPreferences>(preferencesFileName,
                                            state.filePath("state").toStdString())
                .load();
        EXPECT_EQ(saved.profile, battery ? UsageProfile::laptop : UsageProfile::desktop);
        EXPECT_EQ(saved.overdueDays, battery ? 7 : 2);
        EXPECT_EQ(first.prefs(), saved);
    }
}

TEST_F(ModelFixture, WithoutAcceptedTermsNothingIsCheckedAndTheTermsAreShownAfterTheDelay) {
    launch({.termsDelayMs = 300});
    QSignalSpy terms(model.get(), &AppModel::termsPanelRequested);
    model->refresh();
    QTest::qWait(150);
    EXPECT_EQ(terms.size(), 0);
    ASSERT_TRUE(terms.wait(2000));
    EXPECT_EQ(script->calls(), 0u);
    EXPECT_FALSE(model->termsAccepted());
    // Only the first run's preferences are written to the state folder.
    EXPECT_EQ(filesIn(stateFolder()), std::vector<std::string>{"preferences.json"});

    QSignalSpy checks(model.get(), &AppModel::checkFinished);
    QSignalSpy closed(model.get(), &AppModel::statusPanelCloseRequested);
    model->acceptTerms();
    ASSERT_TRUE(waitForChecks(checks, 1));
    EXPECT_EQ(closed.size(), 1);
    EXPECT_TRUE(model->termsAccepted());
    QSettings stored(defaultsFile(), QSettings::IniFormat);
    EXPECT_EQ(stored.value("quorvane.backup.acceptedTermsVersion").toString(), termsVersion);
    EXPECT_EQ(stored.value("quorvane.backup.acceptedAppVersion").toString(),
              AppModel::appVersion());
    EXPECT_TRUE(fs::exists(stateFolder() / "history.json"));
}

TEST_F(ModelFixture, LogWindowNeverReachesFurtherBackThan36Hours) {
    HistoryRecord old;
    old.logReadUpTo = addSeconds(now, -4 * day);
    JSONFileStore<HistoryRecord>(std::string(historyFileName), stateFolder()).save(old);
    script->answer = [](Date) { return readingOf({}); };
    launchAndCheck();
    now = addSeconds(now, 600);
    check();
    std::lock_guard guard(script->lock);
    ASSERT_EQ(script->logSince.size(), 2u);
    EXPECT_EQ(script->logSince[0], addSeconds(checkTime, -129600));
    // The next check starts where the first one stopped reading.
    EXPECT_EQ(script->logSince[1], checkTime);
}

TEST_F(ModelFixture, LogNotAllowedIsPublishedAndFailedAttemptsAreStillRecorded) {
    script->answer = [](Date) { return failingNetworkDisk(LogReading::notAllowed()); };
    launchAndCheck();
    EXPECT_EQ(model->logAllowed(), false);
    int failed = 0;
    for (const HistoryEvent& event : model->history().events)
        if (event.kind == HistoryEvent::Kind::failed) {
            ++failed;
            EXPECT_EQ(event.text, "Attempt didn't finish");
        }
    EXPECT_EQ(failed, 2);
    EXPECT_EQ(savedHistory(), model->history());
}

TEST_F(ModelFixture, OverlappingChecksBothApplyInTheOrderTheyFinish) {
    // The first check is held until the second has been folded in.
    std::mutex gate;
    std::condition_variable opened;
    bool release = false;
    script->answer = [&](Date) {
        BackupDestination local;
        local.id = "LOCAL-1";
        local.name = "Ann's Disk";
        local.kind = BackupDestination::Kind::local;
        local.completed = {addSeconds(checkTime, -5 * hour)};
        std::unique_lock wait(gate);
        opened.wait(wait, [&] { return release; });
        return readingOf({local});
    };
    acceptTermsBeforeLaunch();
    launch();
    QSignalSpy checks(model.get(), &AppModel::checkFinished);
    ASSERT_TRUE(QTest::qWaitFor([&] { return script->calls() == 1; }, 5000));
    script->answer = [](Date) {
        return readingOf({networkDisk({addSeconds(checkTime, -4 * hour)}, {})});
    };
    model->refresh();
    EXPECT_EQ(model->checksRunning(), 2);
    ASSERT_TRUE(waitForChecks(checks, 1));
    EXPECT_TRUE(model->history().observations.contains("NAS-1"));
    {
        std::lock_guard open(gate);
        release = true;
    }
    opened.notify_all();
    ASSERT_TRUE(waitForChecks(checks, 2));
    EXPECT_EQ(model->checksRunning(), 0);
    // The last to finish is what is shown, built on the history of the other.
    ASSERT_TRUE(model->settings());
    EXPECT_EQ(model->settings()->destinations.at(0).id, "LOCAL-1");
    std::set<std::string> completed;
    for (const HistoryEvent& event : model->history().events)
        if (event.kind == HistoryEvent::Kind::completed && event.destinationID)
            completed.insert(*event.destinationID);
    EXPECT_EQ(completed, (std::set<std::string>{"LOCAL-1", "NAS-1"}));
    EXPECT_EQ(savedHistory(), model->history());
}

TEST_F(ModelFixture, CheckCompletesWhenTheStateFolderCannotBeWritten) {
    // The state folder would have to be made inside a regular file.
    std::ofstream(dirs.filePath("blocker").toStdString()) << "x";
    script->answer = [](Date) { return failingNetworkDisk(); };
    acceptTermsBeforeLaunch();
    AppModel::Setup s = setup();
    s.stateFolder = dirs.filePath("blocker/state").toStdString();
    model = std::make_unique<AppModel>(std::move(s));
    QSignalSpy checks(model.get(), &AppModel::checkFinished);
    ASSERT_TRUE(waitForChecks(checks, 1));
    EXPECT_TRUE(hasIssue(model->issues(), IssueKind::failing));
    EXPECT_TRUE(model->checkedAt());
    model->setProfile(UsageProfile::weekly);
    EXPECT_EQ(model->prefs().overdueDays, 10);
    ASSERT_TRUE(waitForChecks(checks, 2));
}

TEST_F(ModelFixture, SettingsActionsSaveThePreferencesAndCheckAgain) {
    launchAndCheck();
    const Issue issue{IssueKind::overdue, "NAS-1", HealthLevel::amber, "late", {}, {}};
    struct Row {
        const char* name;
        std::function<void()> act;
        std::function<bool(const WatchPreferences&)> saved;
        bool checks;
    };
    const Row rows[] = {
        {"weekly profile", [&] { model->setProfile(UsageProfile::weekly); },
         [](const WatchPreferences& p) {
             return p.profile == UsageProfile::weekly && p.overdueDays == 10;
         },
         true},
        {"away", [&] { model->setAway("NAS-1", addSeconds(now, 7 * day)); },
         [&](const WatchPreferences& p) {
             return p.awayUntil.at("NAS-1") == addSeconds(now, 7 * day);
         },
         true},
        {"back from away", [&] { model->setAway("NAS-1", std::nullopt); },
         [](const WatchPreferences& p) { return p.awayUntil.empty(); }, true},
        {"snooze checks nothing", [&] { model->snooze(issue, 4); },
         [&](const WatchPreferences& p) {
             return p.snoozedUntil.at("overdue:NAS-1") == addSeconds(now, 4 * hour);
         },
         false},
        {"on purpose twice is listed once",
         [&] {
             model->markOnPurpose(issue);
             model->markOnPurpose(issue);
         },
         [](const WatchPreferences& p) {
             return p.onPurpose == std::vector<std::string>{"overdue:NAS-1"};
         },
         true},
        {"clear on purpose", [&] { model->clearOnPurpose(); },
         [](const WatchPreferences& p) { return !p.onPurpose.has_value(); }, true},
    };
    for (const Row& row : rows) {
        const std::size_t before = script->calls();
        row.act();
        EXPECT_TRUE(row.saved(savedPrefs())) << row.name;
        EXPECT_EQ(model->prefs(), savedPrefs()) << row.name;
        if (row.checks)
            EXPECT_TRUE(QTest::qWaitFor([&] { return script->calls() > before; }, 3000))
                << row.name;
        else
            EXPECT_EQ(script->calls(), before) << row.name;
        ASSERT_TRUE(QTest::qWaitFor([&] { return model->checksRunning() == 0; }, 3000));
    }
}

TEST_F(ModelFixture, LoginItemFollowsTheAutostartEntry) {
    launch();
    EXPECT_FALSE(model->startsAtLogin());
    model->setStartAtLogin(true);
    EXPECT_TRUE(model->startsAtLogin());
    EXPECT_TRUE(QFile::exists(dirs.filePath("config/autostart/quorvane-ombrel.desktop")));
    model->setStartAtLogin(false);
    EXPECT_FALSE(model->startsAtLogin());
}

TEST_F(ModelFixture, TimerAndWakeStartChecks) {
    acceptTermsBeforeLaunch();
    launch({.checkIntervalMs = 400, .wakeDelayMs = 100});
    ASSERT_TRUE(QTest::qWaitFor([&] { return script->calls() >= 2; }, 5000)) << "timer";

    model = nullptr;
    launch({.wakeDelayMs = 200});
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->checksRunning() == 0; }, 3000));
    const std::size_t before = script->calls();
    QSignalSpy update(model.get(), &AppModel::updateCheckDue);
    update.wait(100); // the start-up's own
    update.clear();
    model->systemDidWake();
    QTest::qWait(100);
    EXPECT_EQ(script->calls(), before);
    ASSERT_TRUE(update.wait(2000));
    EXPECT_TRUE(QTest::qWaitFor([&] { return script->calls() == before + 1; }, 3000));
}

TEST_F(ModelFixture, PhotosLineDependsOnTheLibraryAndItsExclusion) {
    struct Row {
        const char* name;
        bool library;
        std::vector<std::string> excluded;
        std::optional<std::string> starts;
    };
    const Row rows[] = {
        {"no library", false, {}, std::nullopt},
        {"library", true, {}, "Photos: if iCloud Photos is set to Optimize Mac Storage"},
        {"excluded by tilde", true, {"~/Pictures"}, "Your Photos library is excluded"},
        {"excluded by full path",
         true,
         {"/Users/ann/Pictures/Photos Library.photoslibrary"},
         "Your Photos library is excluded"},
        {"excluded but missing", false, {"~/Pictures"}, std::nullopt},
    };
    acceptTermsBeforeLaunch();
    for (const Row& row : rows) {
        testing::TempMac machine;
        if (row.library)
            machine.mkdir("/Users/ann/Pictures/Photos Library.photoslibrary");
        script->answer = [excluded = row.excluded](Date) {
            CheckReading reading = readingOf({});
            reading.reading.settings->excludedPaths = excluded;
            return reading;
        };
        AppModel::Setup s = setup();
        s.mac = machine.mac();
        AppModel one(std::move(s));
        QSignalSpy checks(&one, &AppModel::checkFinished);
        ASSERT_TRUE(waitForChecks(checks, 1)) << row.name;
        const auto line = one.photosLine();
        EXPECT_EQ(line.has_value(), row.starts.has_value()) << row.name;
        if (line && row.starts) {
            EXPECT_TRUE(line->starts_with(*row.starts)) << row.name << ": " << *line;
        }
    }
}

// The road of one event: two failed attempts on a network disk that does not answer, then a
// new backup.
TEST_F(ModelFixture, FailingNetworkDiskIsAnnouncedOnceAndItsResolutionToo) {
    startBus();
    WatchPreferences prefs;
    prefs.alertsOn = true;
    writePrefs(prefs);
    const Date last = addSeconds(checkTime, -3 * hour);
    const std::vector<Date> attempts{addSeconds(checkTime, -2 * hour),
                                     addSeconds(checkTime, -1 * hour)};
    script->answer = [=](Date) {
        return readingOf(
            {networkDisk({last}, attempts)},
            LogReading::lines(
                {{"NAConnectToServerSync failed with error: 60 for url smb://nas", attempts[1]}}));
    };
    launchAndCheck();
    ASSERT_TRUE(service->waitForNotifications(1));
    const QJsonObject first = service->notifications()[0];
    const std::string title = "Backups to Living-room NAS (network) are failing";
    EXPECT_EQ(first["summary"].toString().toStdString(), title);
    const auto failing = std::find_if(model->issues().begin(), model->issues().end(),
                                      [](const Issue& i) { return i.kind == IssueKind::failing; });
    ASSERT_NE(failing, model->issues().end());
    EXPECT_EQ(first["body"].toString().toStdString(),
              *failing->detail + " Your NAS didn't respond in time.");
    EXPECT_EQ(model->history().alertedTitles.at("failing:NAS-1"), title);
    EXPECT_EQ(model->history().alerted.at("failing:NAS-1"), checkTime);
    EXPECT_EQ(savedHistory(), model->history());

    // The same problem ten minutes later is not announced again.
    now = addSeconds(now, 600);
    check();

    // A new backup completes.
    now = addSeconds(now, 600);
    script->answer = [=](Date) {
        return readingOf({networkDisk({last, addSeconds(checkTime, 900)}, attempts)});
    };
    check();
    ASSERT_TRUE(service->waitForNotifications(2));
    QTest::qWait(200);
    const auto posted = service->notifications();
    ASSERT_EQ(posted.size(), 2);
    EXPECT_EQ(posted[1]["summary"], "Backups are working again");
    EXPECT_EQ(posted[1]["body"].toString().toStdString(), "This is resolved: " + title + ".");
    EXPECT_FALSE(model->history().alerted.contains("failing:NAS-1"));
    EXPECT_FALSE(model->history().alertedTitles.contains("failing:NAS-1"));
    EXPECT_EQ(savedHistory(), model->history());
}

TEST_F(ModelFixture, WithAlertsOffNothingIsPosted) {
    startBus();
    script->answer = [](Date) { return failingNetworkDisk(); };
    launchAndCheck();
    EXPECT_TRUE(hasIssue(model->issues(), IssueKind::failing));
    EXPECT_EQ(savedHistory(), model->history());
    QTest::qWait(300);
    EXPECT_TRUE(service->calls().isEmpty());
}

TEST_F(ModelFixture, UnavailableNotificationServiceShowsAlertsTurnedOffAtTheNextCheck) {
    struct Row {
        const char* name;
        std::optional<QStringList> service;
        bool blocked;
    };
    const Row rows[] = {
        {"answering service", QStringList{}, false},
        {"no service", std::nullopt, true},
        {"errors", QStringList{"--errors"}, true},
        {"never answers", QStringList{"--silent"}, true},
    };
    WatchPreferences prefs;
    prefs.alertsOn = true;
    writePrefs(prefs);
    acceptTermsBeforeLaunch();
    for (const Row& row : rows) {
        service.reset();
        startBus(row.service);
        script->answer = [](Date) { return failingNetworkDisk(); };
        launch();
        QSignalSpy checks(model.get(), &AppModel::checkFinished);
        ASSERT_TRUE(waitForChecks(checks, 1)) << row.name;
        EXPECT_FALSE(hasIssue(model->issues(), IssueKind::notificationsBlocked)) << row.name;
        // Nothing waits for the service: the check was folded in before its answer came.
        if (row.service && row.service->contains("--silent")) {
            EXPECT_FALSE(model->notificationsBlocked()) << row.name;
        }
        // The answer arrives on its own; a service that never answers counts after 2 s.
        (void)QTest::qWaitFor([&] { return model->notificationsBlocked(); }, 4000);
        EXPECT_EQ(model->notificationsBlocked(), row.blocked) << row.name;
        check();
        const auto issue =
            std::find_if(model->issues().begin(), model->issues().end(),
                         [](const Issue& i) { return i.kind == IssueKind::notificationsBlocked; });
        ASSERT_EQ(issue != model->issues().end(), row.blocked) << row.name;
        if (row.blocked) {
            EXPECT_EQ(issue->title, "Alerts are turned off in System Settings");
            EXPECT_EQ(issue->level, HealthLevel::amber);
        }
        model = nullptr;
        service.reset();
        bus.reset();
    }
}

TEST_F(ModelFixture, TurningOnAlertsDependsOnTheServiceAnswering) {
    for (const bool answering : {true, false}) {
        writePrefs({});
        startBus(answering ? std::optional<QStringList>(QStringList{}) : std::nullopt);
        launch();
        model->turnOnAlerts();
        ASSERT_TRUE(QTest::qWaitFor(
            [&] { return model->prefs().alertsOn || model->alertsRefused(); }, 4000));
        EXPECT_EQ(model->prefs().alertsOn, answering);
        EXPECT_EQ(model->alertsRefused(), !answering);
        EXPECT_EQ(savedPrefs().alertsOn, answering);
        model = nullptr;
        service.reset();
        bus.reset();
    }
}

TEST_F(ModelFixture, WeeklySummaryComesAWeekAfterItIsTurnedOn) {
    startBus();
    WatchPreferences prefs;
    prefs.alertsOn = true;
    writePrefs(prefs);
    launchAndCheck();
    model->setWeeklySummary(true);
    EXPECT_EQ(savedHistory().lastWeekly, now);
    EXPECT_EQ(savedPrefs().weeklySummaryOn, true);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model->checksRunning() == 0; }, 3000));
    now = addSeconds(now, 6 * day);
    check();
    // The notifications of this check have been sent once a later call is answered.
    bool answered = false;
    model->notifier().currentlyAllowed([&](bool) { answered = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, 3000));
    auto summaries = [&] {
        QList<QJsonObject> quiet;
        for (const QJsonObject& posted : service->notifications())
            if (posted["hints"].toObject()["suppress-sound"] == true)
                quiet << posted;
        return quiet;
    };
    EXPECT_TRUE(summaries().isEmpty());
    now = addSeconds(now, day);
    check();
    ASSERT_TRUE(QTest::qWaitFor([&] { return summaries().size() == 1; }, 3000));
    EXPECT_EQ(summaries()[0]["summary"].toString().toStdString().empty(), false);
    EXPECT_EQ(model->history().lastWeekly, now);
    EXPECT_EQ(savedHistory().lastWeekly, now);
}

TEST_F(ModelFixture, ClickOpensTheStatusPanelShortlyAfterwardsWhileTheModelLives) {
    startBus();
    WatchPreferences prefs;
    prefs.alertsOn = true;
    writePrefs(prefs);
    script->answer = [](Date) { return failingNetworkDisk(); };
    launchAndCheck();
    ASSERT_TRUE(service->waitForNotifications(1));
    // Once a later call is answered, the notification's id is known to the model.
    bool answered = false;
    model->notifier().currentlyAllowed([&](bool) { answered = true; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return answered; }, 3000));

    QSignalSpy panel(model.get(), &AppModel::statusPanelRequested);
    QElapsedTimer clicked;
    clicked.start();
    service->click(1);
    ASSERT_TRUE(panel.wait(3000));
    EXPECT_GE(clicked.elapsed(), 850);

    // A click whose delay outlives the model does nothing.
    service->click(1);
    QTest::qWait(300);
    model = nullptr;
    QTest::qWait(900);
}

} // namespace
} // namespace quorvane
