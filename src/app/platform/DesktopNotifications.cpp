#include "platform/DesktopNotifications.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QVariantMap>

#include <utility>

namespace quorvane {

namespace {

const QString service = "org.freedesktop.Notifications";
const QString path = "/org/freedesktop/Notifications";
const QString interface = "org.freedesktop.Notifications";

QDBusMessage call(const QString& method) {
    return QDBusMessage::createMethodCall(service, path, interface, method);
}

} // namespace

DesktopNotifications::DesktopNotifications(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)) {
    // QDBusConnection only offers the string form for bus signals.
    bus_.connect(service, path, interface, "ActionInvoked", this,
                 SLOT(actionInvoked(uint, QString)));
}

QString DesktopNotifications::escapeMarkup(const QString& text) {
    QString escaped;
    escaped.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'&')
            escaped += "&amp;";
        else if (c == u'<')
            escaped += "&lt;";
        else if (c == u'>')
            escaped += "&gt;";
        else
            escaped += c;
    }
    return escaped;
}

void DesktopNotifications::post(const Request& request) {
    if (bodyMarkup_) {
        send(request);
        return;
    }
    waiting_.push_back(request);
    askCapabilities();
}

void DesktopNotifications::askCapabilities() {
    if (askingCapabilities_)
        return;
    askingCapabilities_ = true;
    auto* watcher =
        new QDBusPendingCallWatcher(bus_.asyncCall(call("GetCapabilities"), answerTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                askingCapabilities_ = false;
                const QDBusPendingReply<QStringList> reply = *finished;
                // A service that cannot say gets plain text, which every service shows.
                bodyMarkup_ = !reply.isError() && reply.value().contains("body-markup");
                while (!waiting_.empty()) {
                    send(waiting_.front());
                    waiting_.pop_front();
                }
            });
}

void DesktopNotifications::send(const Request& request) {
    QVariantMap hints{{"desktop-entry", QString("quorvane-ombrel")}};
    if (request.sound)
        hints.insert("sound-name", QString("message-new-instant"));
    else
        hints.insert("suppress-sound", true);
    QDBusMessage message = call("Notify");
    message << QString("Quorvane Ombrel") << serverIds_.value(request.identifier, 0u) << QString()
            << request.title << (*bodyMarkup_ ? escapeMarkup(request.body) : request.body)
            << QStringList{"default", "Open"} << hints << qint32(-1);
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(message, answerTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, identifier = request.identifier](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                const QDBusPendingReply<uint> reply = *finished;
                // Failures are not reported: the next permission check shows them.
                if (reply.isError())
                    return;
                const uint id = reply.value();
                if (const auto old = serverIds_.constFind(identifier); old != serverIds_.cend())
                    identifiers_.remove(*old);
                serverIds_.insert(identifier, id);
                identifiers_.insert(id, identifier);
            });
}

void DesktopNotifications::probe(std::function<void(bool)> done) {
    auto* watcher = new QDBusPendingCallWatcher(
        bus_.asyncCall(call("GetServerInformation"), answerTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done = std::move(done)](QDBusPendingCallWatcher* finished) {
                finished->deleteLater();
                done(!finished->isError());
            });
}

void DesktopNotifications::actionInvoked(uint id, const QString&) {
    if (const auto identifier = identifiers_.constFind(id); identifier != identifiers_.cend())
        emit activated(*identifier);
}

} // namespace quorvane
