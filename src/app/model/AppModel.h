#pragma once

#include "base/Date.h"
#include "base/Mac.h"
#include "checks/Coverage.h"
#include "checks/RecoveryAnswer.h"
#include "cycle/CheckReading.h"
#include "health/Issue.h"
#include "health/Preferences.h"
#include "history/History.h"
#include "history/JSONFileStore.h"
#include "model/Clock.h"
#include "othertools/ToolStatus.h"
#include "timemachine/DestinationInfo.h"
#include "timemachine/Reasons.h"
#include "timemachine/TimeMachineSettings.h"

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <QTimer>

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace quorvane {

class DesktopNotifications;
class LoginItem;
class NotificationClicks;
class Notifier;
class SystemWake;
class UserDefaults;

// The version of the terms of use this build asks the user to accept.
inline constexpr const char* termsVersion = "2026-11-30.3";

// The running application's state and check cycle, on the main thread. Each check reads the
// watched Mac on a background thread and folds the result in here, in the order the checks
// finish; every change is saved as it is made.
class AppModel : public QObject {
    Q_OBJECT
public:
    // Reads one check's worth of the watched Mac; called on a background thread.
    using Reader =
        std::function<CheckReading(const Mac& mac, Date logSince, bool nasCheckOn, Date now)>;

    struct Timings {
        int checkIntervalMs = 600'000;
        int wakeDelayMs = 60'000;
        int termsDelayMs = 1'500;
    };

    // Everything the model needs from outside; the defaults are the real ones.
    struct Setup {
        Mac mac;
        std::optional<std::filesystem::path> stateFolder; // none: nowhere to keep state
        Clock clock = currentDate;
        QString userDefaultsFile;
        QString loginItemFile;
        QString executable;
        QDBusConnection sessionBus{QString()};
        QDBusConnection systemBus{QString()};
        Reader reader;
        Timings timings;

        // The watched Mac of the environment, the real state folder, settings file, login item
        // and buses.
        static Setup fromEnvironment();
    };

    explicit AppModel(Setup setup, QObject* parent = nullptr);
    ~AppModel() override;

    // Published state.
    const std::optional<SettingsReading>& reading() const { return reading_; }
    const std::optional<BackupRunState>& run() const { return run_; }
    const std::vector<Issue>& issues() const { return issues_; }
    const std::map<std::string, FailureReason>& reasons() const { return reasons_; }
    std::optional<bool> logAllowed() const { return logAllowed_; }
    std::optional<Date> checkedAt() const { return checkedAt_; }
    const WatchPreferences& prefs() const { return prefs_; }
    const HistoryRecord& history() const { return history_; }
    const std::vector<CoverageResult>& coverage() const { return coverage_; }
    bool coverageRunning() const { return coverageRunning_; }
    const std::set<std::string>& unreachable() const { return unreachable_; }
    const std::vector<ToolStatus>& otherTools() const { return otherTools_; }
    const std::map<std::string, std::string>& aiText() const { return aiText_; }
    const std::set<std::string>& aiBusy() const { return aiBusy_; }
    bool notificationsBlocked() const { return notificationsBlocked_; }
    bool alertsRefused() const { return alertsRefused_; }
    bool startsAtLogin() const { return startsAtLogin_; }
    bool updateChecking() const { return updateChecking_; }
    bool termsAccepted() const { return termsAccepted_; }

    // Derived state.
    const std::vector<Issue>& visibleIssues() const { return issues_; }
    std::optional<TimeMachineSettings> settings() const;
    HealthLevel iconLevel() const;
    bool isBackingUp() const;
    std::string iconAccessibilityLabel() const;
    std::optional<RecoveryAnswer> recovery() const;
    std::string trackRecord() const;
    std::optional<std::string> photosLine() const;
    static QString appVersion();
    Date firstLaunchDate() const { return firstLaunch_; }
    // Checks started and not yet folded in.
    int checksRunning() const { return checksRunning_; }
    const Mac& mac() const { return mac_; }
    Notifier& notifier() { return *notifier_; }

    // Actions.
    void refresh();
    void acceptTerms();
    void setProfile(UsageProfile profile);
    // Saves the preferences as they are after `edit` and checks again.
    void editPrefs(const std::function<void(WatchPreferences&)>& edit);
    void savePrefs();
    void setStartAtLogin(bool on);
    void setAway(const std::string& destinationID, std::optional<Date> until);
    void snooze(const Issue& issue, double hours);
    void markOnPurpose(const Issue& issue);
    void clearOnPurpose();
    void setWeeklySummary(bool on);
    void turnOnAlerts();
    // The system's notification settings have no page to open on this platform.
    void openNotificationSettings() {}

    // The system woke from sleep: a check and the update check follow after the wake delay.
    void systemDidWake();

signals:
    // Published state changed.
    void changed();
    // A check was folded in.
    void checkFinished();
    // Open the status panel (a notification was clicked).
    void statusPanelRequested();
    // Keep the status panel open and show the terms in it (they are not accepted yet).
    void termsPanelRequested();
    // The terms were accepted: the status panel may close.
    void statusPanelCloseRequested();
    // The update check should run if it is due (after start-up, acceptance and wake).
    void updateCheckDue();

private:
    struct Finished;
    void apply(const Finished& finished);
    void savePreferences();

    Mac mac_;
    Clock clock_;
    Reader reader_;
    Timings timings_;

    std::optional<SettingsReading> reading_;
    std::optional<BackupRunState> run_;
    std::vector<Issue> issues_;
    std::map<std::string, FailureReason> reasons_;
    std::optional<bool> logAllowed_;
    std::optional<Date> checkedAt_;
    WatchPreferences prefs_;
    HistoryRecord history_;
    std::vector<CoverageResult> coverage_;
    bool coverageRunning_ = false;
    std::set<std::string> unreachable_;
    std::vector<ToolStatus> otherTools_;
    std::map<std::string, std::string> aiText_;
    std::set<std::string> aiBusy_;
    bool notificationsBlocked_ = false;
    bool alertsRefused_ = false;
    bool startsAtLogin_ = false;
    bool updateChecking_ = false;
    bool termsAccepted_ = false;

    bool photosLibraryExists_ = false;
    Date firstLaunch_{};
    int checksRunning_ = 0;

    std::unique_ptr<UserDefaults> defaults_;
    std::unique_ptr<LoginItem> loginItem_;
    JSONFileStore<WatchPreferences> prefsStore_;
    JSONFileStore<HistoryRecord> historyStore_;
    DesktopNotifications* notifications_ = nullptr;
    Notifier* notifier_ = nullptr;
    NotificationClicks* clicks_ = nullptr;
    SystemWake* wake_ = nullptr;
    QTimer timer_;
};

// The preferences file in the state folder.
inline constexpr const char* preferencesFileName = "preferences.json";

} // namespace quorvane
