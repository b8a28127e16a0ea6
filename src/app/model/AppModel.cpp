#include "model/AppModel.h"

#include "alerting/NotificationPlan.h"
#include "base/MacPath.h"
#include "cycle/ApplyCheck.h"
#include "history/Reassurance.h"
#include "model/NotificationClicks.h"
#include "model/Notifier.h"
#include "platform/DesktopNotifications.h"
#include "platform/LoginItem.h"
#include "platform/PowerSource.h"
#include "platform/SystemWake.h"
#include "platform/UserDefaults.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <system_error>
#include <utility>

namespace quorvane {

namespace {

// Checks read at low priority on their own threads, so a slow tool never holds up another
// check or anything else in the process.
QThreadPool& checkPool() {
    static QThreadPool pool;
    static const bool configured = [] {
        // Overlapping checks each get a thread rather than a place in a queue.
        pool.setMaxThreadCount(8);
        pool.setThreadPriority(QThread::LowPriority);
        return true;
    }();
    (void)configured;
    return pool;
}

CheckReading readWithCore(const Mac& mac, Date logSince, bool nasCheckOn, Date now) {
    return readCheck(mac, logSince, nasCheckOn, now);
}

bool photosLibraryExists(const Mac& mac) {
    std::error_code error;
    return std::filesystem::exists(mac.hostPath(photosLibraryPath(mac.home)), error);
}

} // namespace

// What one background check hands back to the main thread.
struct AppModel::Finished {
    CheckReading reading;
    bool photosLibrary = false;
};

namespace {

// A state file's path; none when there is no state folder, so nothing is loaded or saved.
std::optional<std::filesystem::path>
inStateFolder(const std::optional<std::filesystem::path>& folder, std::string_view name) {
    if (!folder)
        return std::nullopt;
    return *folder / name;
}

} // namespace

AppModel::Setup AppModel::Setup::fromEnvironment() {
    Setup setup;
    setup.mac = Mac::fromEnvironment();
    setup.stateFolder = quorvane::stateFolder();
    setup.userDefaultsFile = UserDefaults::defaultFile();
    setup.loginItemFile = LoginItem::defaultFile();
    setup.executable = QCoreApplication::applicationFilePath();
    setup.sessionBus = QDBusConnection::sessionBus();
    setup.systemBus = QDBusConnection::systemBus();
    return setup;
}

AppModel::AppModel(Setup setup, QObject* parent)
    : QObject(parent), mac_(std::move(setup.mac)), clock_(std::move(setup.clock)),
      reader_(setup.reader ? std::move(setup.reader) : Reader(readWithCore)),
      timings_(setup.timings), defaults_(std::make_unique<UserDefaults>(setup.userDefaultsFile)),
      loginItem_(std::make_unique<LoginItem>(setup.loginItemFile, setup.executable)),
      prefsStore_(JSONFileStore<WatchPreferences>::at(
          inStateFolder(setup.stateFolder, preferencesFileName))),
      historyStore_(
          JSONFileStore<HistoryRecord>::at(inStateFolder(setup.stateFolder, historyFileName))) {
    // 1. Initial values; the terms are accepted only in the version this build shows.
    termsAccepted_ = defaults_->termsAccepted(termsVersion);
    firstLaunch_ = defaults_->firstLaunchDate(clock_());

    // 2. The stores (above), the notifier and the click handler.
    notifications_ = new DesktopNotifications(setup.sessionBus, this);
    notifier_ = new Notifier(*notifications_, this);
    clicks_ = new NotificationClicks(*notifier_, this);

    // 3. Load; note first whether there were preferences at all.
    std::error_code error;
    const bool firstRun = !std::filesystem::exists(prefsStore_.url(), error);
    prefs_ = prefsStore_.load();
    history_ = historyStore_.load();

    // 4. A first run picks the usage profile from the Mac.
    if (firstRun) {
        const UsageProfile profile =
            hasInternalBattery(mac_) ? UsageProfile::laptop : UsageProfile::desktop;
        prefs_.profile = profile;
        prefs_.overdueDays = overdueDays(profile);
        savePreferences();
    }

    // 5.
    clicks_->setModel(this);

    // 7.
    refresh();

    // 8. The repeating check.
    timer_.setInterval(timings_.checkIntervalMs);
    timer_.setTimerType(Qt::VeryCoarseTimer);
    connect(&timer_, &QTimer::timeout, this, &AppModel::refresh);
    timer_.start();

    // 9. Wake from sleep.
    wake_ = new SystemWake(setup.systemBus, this);
    connect(wake_, &SystemWake::woke, this, &AppModel::systemDidWake);

    // 10.
    startsAtLogin_ = loginItem_->enabled();

    // 11. The update check's own logic decides whether it is due.
    QTimer::singleShot(0, this, &AppModel::updateCheckDue);

    // 12.
    if (!termsAccepted_)
        QTimer::singleShot(timings_.termsDelayMs, this, [this] {
            if (!termsAccepted_)
                emit termsPanelRequested();
        });
}

AppModel::~AppModel() = default;

std::optional<TimeMachineSettings> AppModel::settings() const {
    if (reading_ && reading_->isRead())
        return reading_->settings;
    return std::nullopt;
}

HealthLevel AppModel::iconLevel() const {
    return level(visibleIssues());
}

bool AppModel::isBackingUp() const {
    return run_ && run_->running;
}

std::string AppModel::iconAccessibilityLabel() const {
    switch (iconLevel()) {
    case HealthLevel::green:
        return isBackingUp() ? "Quorvane Ombrel: backing up now"
                             : "Quorvane Ombrel: backups look up to date";
    case HealthLevel::unknown:
        return "Quorvane Ombrel: couldn't check";
    case HealthLevel::amber:
        return "Quorvane Ombrel: a warning";
    case HealthLevel::red:
        return "Quorvane Ombrel: a backup needs attention";
    }
    return "Quorvane Ombrel";
}

std::optional<RecoveryAnswer> AppModel::recovery() const {
    if (!reading_)
        return std::nullopt;
    return recoveryAnswer(settings(), otherTools_, history_.restoreTest, clock_(), mac_.home);
}

std::string AppModel::trackRecord() const {
    const std::vector<Gap> none;
    return trackRecordLine(history_.events, firstLaunch_,
                           history_.changes ? history_.changes->gaps : none, history_.restoreTest,
                           clock_());
}

std::optional<std::string> AppModel::photosLine() const {
    if (const auto known = settings()) {
        const std::string library = standardisedMacPath(photosLibraryPath(mac_.home));
        const bool excluded = std::any_of(
            known->excludedPaths.begin(), known->excludedPaths.end(), [&](const std::string& path) {
                const std::string expanded = standardisedMacPath(expandTilde(path, mac_.home));
                // The library itself, something inside it, or a folder around it.
                return expanded.starts_with(library) || pathIsWithin(library, expanded);
            });
        if (excluded)
            return photosCoverageLine(photosLibraryExists_, true);
    }
    return photosCoverageLine(photosLibraryExists_, false);
}

QString AppModel::appVersion() {
    const QString version = QStringLiteral(QUORVANE_VERSION);
    return version.isEmpty() ? QStringLiteral("0") : version;
}

void AppModel::refresh() {
    if (!termsAccepted_)
        return;
    const Date now = clock_();
    const Date logSince = logWindowStart(history_.logReadUpTo, now);
    const bool nasCheckOn = prefs_.nasCheckOn;
    ++checksRunning_;
    // The task gets copies only. Its result comes back as a queued call on the main thread,
    // always after this function has returned, and only while the model still exists.
    QThreadPool& pool = checkPool();
    pool.start([model = QPointer<AppModel>(this), reader = reader_, mac = mac_, logSince,
                nasCheckOn, now] {
        Finished finished{reader(mac, logSince, nasCheckOn, now), photosLibraryExists(mac)};
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [model, finished = std::move(finished)] {
                if (model)
                    model->apply(finished);
            },
            Qt::QueuedConnection);
    });
}

void AppModel::apply(const Finished& finished) {
    const Date now = clock_();
    --checksRunning_;
    const CheckReading& reading = finished.reading;
    reading_ = reading.reading;
    run_ = reading.run;
    otherTools_ = reading.tools;
    unreachable_ = reading.unreachable;
    photosLibraryExists_ = finished.photosLibrary;

    CheckOutcome outcome =
        applyCheck(reading, prefs_, std::move(history_), notificationsBlocked_, mac_, now);
    history_ = std::move(outcome.history);
    issues_ = std::move(outcome.issues);
    if (outcome.reasons)
        reasons_ = std::move(*outcome.reasons);
    if (outcome.logAllowed)
        logAllowed_ = outcome.logAllowed;

    // Whether the desktop still shows our notifications; the answer counts from the next check.
    if (prefs_.alertsOn)
        notifier_->currentlyAllowed([model = QPointer<AppModel>(this)](bool allowed) {
            if (model && model->notificationsBlocked_ != !allowed) {
                model->notificationsBlocked_ = !allowed;
                emit model->changed();
            }
        });

    checkedAt_ = now;
    historyStore_.save(history_);

    if (prefs_.alertsOn) {
        notifier_->deliver(issues_, reasons_, prefs_, history_, now);
        if (const auto summary =
                dueWeeklySummary(prefs_, history_, visibleIssues(), settings(), now)) {
            notifier_->postSummary(summary->title, summary->body);
            history_.lastWeekly = now;
        }
        historyStore_.save(history_);
    }
    emit changed();
    emit checkFinished();
}

void AppModel::savePreferences() {
    prefsStore_.save(prefs_);
}

void AppModel::acceptTerms() {
    defaults_->acceptTerms(termsVersion, clock_(), appVersion());
    termsAccepted_ = true;
    emit changed();
    emit statusPanelCloseRequested();
    refresh();
    emit updateCheckDue();
}

void AppModel::setProfile(UsageProfile profile) {
    prefs_.profile = profile;
    prefs_.overdueDays = overdueDays(profile);
    savePrefs();
}

void AppModel::editPrefs(const std::function<void(WatchPreferences&)>& edit) {
    edit(prefs_);
    savePrefs();
}

void AppModel::savePrefs() {
    savePreferences();
    emit changed();
    refresh();
}

void AppModel::setStartAtLogin(bool on) {
    loginItem_->setEnabled(on);
    startsAtLogin_ = loginItem_->enabled();
    emit changed();
}

void AppModel::setAway(const std::string& destinationID, std::optional<Date> until) {
    if (until)
        prefs_.awayUntil[destinationID] = *until;
    else
        prefs_.awayUntil.erase(destinationID);
    savePrefs();
}

void AppModel::snooze(const Issue& issue, double hours) {
    prefs_.snoozedUntil[issue.id()] = addSeconds(clock_(), hours * 3600);
    savePreferences();
    emit changed();
}

void AppModel::markOnPurpose(const Issue& issue) {
    auto& ids = prefs_.onPurpose.emplace(prefs_.onPurpose.value_or(std::vector<std::string>{}));
    if (std::find(ids.begin(), ids.end(), issue.id()) == ids.end())
        ids.push_back(issue.id());
    savePrefs();
}

void AppModel::clearOnPurpose() {
    prefs_.onPurpose.reset();
    savePrefs();
}

void AppModel::setWeeklySummary(bool on) {
    prefs_.weeklySummaryOn = on;
    if (on) {
        // The first summary comes a week from now.
        history_.lastWeekly = clock_();
        historyStore_.save(history_);
    }
    savePrefs();
}

void AppModel::turnOnAlerts() {
    notifier_->requestPermission([model = QPointer<AppModel>(this)](bool granted) {
        if (!model)
            return;
        model->prefs_.alertsOn = granted;
        model->alertsRefused_ = !granted;
        model->savePrefs();
    });
}

void AppModel::systemDidWake() {
    QTimer::singleShot(timings_.wakeDelayMs, this, [this] {
        refresh();
        emit updateCheckDue();
    });
}

} // namespace quorvane
