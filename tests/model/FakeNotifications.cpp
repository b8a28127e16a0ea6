// A stand-in notification service for tests: owns org.freedesktop.Notifications on the bus in
// DBUS_SESSION_BUS_ADDRESS and appends every call it receives to a file, one JSON object a line.
//
//   fake-notifications RECORD_FILE [--markup] [--silent | --errors]
//
// --markup lists "body-markup" among the capabilities; --silent never answers a call; --errors
// answers every call with an error. A call to org.quorvane.FakeNotifications.Click(u id) on the
// same object emits ActionInvoked(id, "default"), as a user's click would. Prints "ready" once
// the name is owned.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

namespace {

const QString path = "/org/freedesktop/Notifications";
const QString interface = "org.freedesktop.Notifications";
const QString control = "org.quorvane.FakeNotifications";

class FakeService : public QDBusVirtualObject {
public:
    FakeService(QString recordFile, bool markup, bool silent, bool errors)
        : record_(recordFile), markup_(markup), silent_(silent), errors_(errors) {
        record_.open(QIODevice::WriteOnly | QIODevice::Append);
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override {
        if (message.interface() == control && message.member() == "Click") {
            QDBusMessage signal = QDBusMessage::createSignal(path, interface, "ActionInvoked");
            signal << message.arguments().value(0).toUInt() << QString("default");
            bus.send(signal);
            bus.send(message.createReply());
            return true;
        }
        if (message.interface() != interface)
            return false;
        write(describe(message));
        if (silent_) {
            // Keep the call unanswered: the caller's time-out is what is being tested.
            message.setDelayedReply(true);
            return true;
        }
        if (errors_) {
            bus.send(message.createErrorReply("org.freedesktop.DBus.Error.Failed", "broken"));
            return true;
        }
        const QString method = message.member();
        if (method == "Notify") {
            const uint replaces = message.arguments().value(1).toUInt();
            bus.send(message.createReply(replaces ? replaces : ++lastId_));
        } else if (method == "GetCapabilities") {
            QStringList capabilities{"actions", "body", "sound"};
            if (markup_)
                capabilities << "body-markup";
            bus.send(message.createReply(capabilities));
        } else if (method == "GetServerInformation") {
            bus.send(message.createReply(
                QVariantList{"fake-notifications", "Quorvane tests", "1", "1.2"}));
        } else {
            bus.send(message.createReply());
        }
        return true;
    }

private:
    static QJsonObject describe(const QDBusMessage& message) {
        QJsonObject call{{"method", message.member()}};
        const QVariantList args = message.arguments();
        if (message.member() == "Notify" && args.size() == 8) {
            call["app_name"] = args[0].toString();
            call["replaces_id"] = static_cast<qint64>(args[1].toUInt());
            call["app_icon"] = args[2].toString();
            call["summary"] = args[3].toString();
            call["body"] = args[4].toString();
            call["actions"] = QJsonArray::fromStringList(args[5].toStringList());
            QJsonObject hints;
            const QVariantMap map = qdbus_cast<QVariantMap>(args[6]);
            for (auto hint = map.cbegin(); hint != map.cend(); ++hint)
                hints[hint.key()] = QJsonValue::fromVariant(hint.value());
            call["hints"] = hints;
            call["expire_timeout"] = args[7].toInt();
        }
        return call;
    }

    void write(const QJsonObject& call) {
        record_.write(QJsonDocument(call).toJson(QJsonDocument::Compact) + "\n");
        record_.flush();
    }

    QFile record_;
    bool markup_, silent_, errors_;
    uint lastId_ = 0;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() < 2) {
        std::fputs("usage: fake-notifications RECORD_FILE [--markup] [--silent | --errors]\n",
                   stderr);
        return 2;
    }
    FakeService service(args[1], args.contains("--markup"), args.contains("--silent"),
                        args.contains("--errors"));
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerVirtualObject(path, &service) ||
        !bus.registerService("org.freedesktop.Notifications")) {
        std::fputs("fake-notifications: cannot own the service name\n", stderr);
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    return QCoreApplication::exec();
}
