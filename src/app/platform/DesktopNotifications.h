#pragma once

#include <QDBusConnection>
#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

#include <deque>
#include <functional>
#include <optional>

namespace quorvane {

// The freedesktop notification service on a session bus, the stand-in for the notification
// centre. Every call is asynchronous; nothing here waits on the main thread.
class DesktopNotifications : public QObject {
    Q_OBJECT
public:
    // How long the service may take to answer before it counts as absent.
    static constexpr int answerTimeoutMs = 2000;

    struct Request {
        QString identifier; // a later request with the same identifier replaces this one
        QString title;
        QString body;
        bool sound = true;
    };

    explicit DesktopNotifications(QDBusConnection bus, QObject* parent = nullptr);

    // Posts a notification. The first post waits (without blocking) for the service's
    // capabilities, which decide whether the body needs its markup escaped.
    void post(const Request& request);

    // Calls `done` (on this object's thread) with whether the service answered
    // GetServerInformation within answerTimeoutMs. Not called if this object is gone first.
    void probe(std::function<void(bool)> done);

    // `&`, `<` and `>` as entities, for servers that read the body as markup.
    static QString escapeMarkup(const QString& text);

signals:
    // The user clicked one of our notifications (any action); `identifier` is its request's.
    void activated(const QString& identifier);

private slots:
    void actionInvoked(uint id, const QString& actionKey);

private:
    void askCapabilities();
    void send(const Request& request);

    QDBusConnection bus_;
    std::optional<bool> bodyMarkup_; // absent until the capabilities are known
    bool askingCapabilities_ = false;
    std::deque<Request> waiting_;
    QHash<QString, uint> serverIds_;   // identifier -> id the server gave its last notification
    QHash<uint, QString> identifiers_; // server id -> identifier
};

} // namespace quorvane
