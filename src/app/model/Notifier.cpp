#include "model/Notifier.h"

#include "platform/DesktopNotifications.h"

#include <utility>

namespace quorvane {

Notifier::Notifier(DesktopNotifications& service, QObject* parent)
    : QObject(parent), service_(service) {
    connect(&service_, &DesktopNotifications::activated, this, &Notifier::clicked);
}

void Notifier::requestPermission(std::function<void(bool)> done) {
    // The desktop has no permission dialogue: a service that answers shows what we post.
    service_.probe(std::move(done));
}

void Notifier::currentlyAllowed(std::function<void(bool)> done) {
    service_.probe(std::move(done));
}

void Notifier::deliver(const std::vector<Issue>& issues,
                       const std::map<std::string, FailureReason>& reasons,
                       const WatchPreferences& prefs, HistoryRecord& history, Date now) {
    DeliveryPlan plan = planDelivery(issues, reasons, prefs, alertState(history), now);
    storeAlertState(history, std::move(plan.state));
    send(plan.messages);
}

void Notifier::postSummary(std::string_view title, std::string_view body) {
    send({summaryMessage(title, body)});
}

void Notifier::send(const std::vector<Outgoing>& messages) {
    for (const Outgoing& message : messages) {
        if (forward)
            forward(message.forward);
        service_.post({QString::fromStdString(message.notification.identifier),
                       QString::fromStdString(message.notification.title),
                       QString::fromStdString(message.notification.body),
                       message.notification.sound == NotificationSound::standard});
    }
}

} // namespace quorvane
