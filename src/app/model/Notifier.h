#pragma once

#include "alerting/NotificationPlan.h"
#include "alerting/OffMacMessage.h"
#include "base/Date.h"
#include "health/Issue.h"
#include "health/Preferences.h"
#include "history/History.h"
#include "timemachine/Reasons.h"

#include <QObject>

#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace quorvane {

class DesktopNotifications;

// Posts what the alerting decisions say, through the desktop's notification service, and hands
// each message to `forward` first when one is set.
class Notifier : public QObject {
    Q_OBJECT
public:
    explicit Notifier(DesktopNotifications& service, QObject* parent = nullptr);

    // Sends a message off the Mac; unset, nothing leaves it. Called before the local post and
    // not awaited.
    std::function<void(const OffMacMessage&)> forward;

    // Both answer with whether the notification service responds; the answer comes later, on
    // the main thread, and not at all if the notifier is gone by then.
    void requestPermission(std::function<void(bool granted)> done);
    void currentlyAllowed(std::function<void(bool allowed)> done);

    // Announces what is due among the check's ordered `issues` and updates the history's alert
    // state in place.
    void deliver(const std::vector<Issue>& issues,
                 const std::map<std::string, FailureReason>& reasons, const WatchPreferences& prefs,
                 HistoryRecord& history, Date now);

    // The weekly summary, without sound.
    void postSummary(std::string_view title, std::string_view body);

    // Forwards then posts each message in order.
    void send(const std::vector<Outgoing>& messages);

signals:
    // One of our notifications was clicked.
    void clicked();

private:
    DesktopNotifications& service_;
};

} // namespace quorvane
