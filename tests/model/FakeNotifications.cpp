// A stand-in notification service for tests: owns org.freedesktop.Notifications on the bus in
// DBUS_SESSION_BUS_ADDRESS and appends every call it receives to a file, one JSON object a line.
//
//   fake-notifications RECORD_FILE [--markup] [--silent | --errors]
//
// --markup lists "body-markup" among the capabilities; --silent never answers a call; --errors
// answers every call with an error. Calling org.quorvane.FakeNotifications.Click(u id) on
// /control emits ActionInvoked(id, "default"), as a user's click would. Prints "ready" once the
// name is owned.

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

#include <cstdio>

namespace {

const QString path = "/org/freedesktop/Notifications";
const QString interface = "org.freedesktop.Notifications";

struct Options {
    QString record;
    bool markup = false;
    bool silent = false;
    bool errors = false;
};

class FakeService : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
public:
    explicit FakeService(Options options) : options_(options), record_(options.record) {
        record_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered);
    }

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout) {
        QJsonObject call{{"method", "Notify"},
                         {"app_name", appName},
                         {"replaces_id", static_cast<qint64>(replacesId)},
                         {"app_icon", appIcon},
                         {"summary", summary},
                         {"body", body},
                         {"actions", QJsonArray::fromStringList(actions)},
                         {"hints", QJsonObject::fromVariantMap(hints)},
                         {"expire_timeout", expireTimeout}};
        if (!answer(call))
            return 0;
        return replacesId ? replacesId : ++lastId_;
    }
    QStringList GetCapabilities() {
        if (!answer({{"method", "GetCapabilities"}}))
            return {};
        QStringList capabilities{"actions", "body", "sound"};
        if (options_.markup)
            capabilities << "body-markup";
        return capabilities;
    }
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion) {
        if (!answer({{"method", "GetServerInformation"}}))
            return {};
        vendor = "Quorvane tests";
        version = "1";
        specVersion = "1.2";
        return "fake-notifications";
    }
    void CloseNotification(uint id) {
        answer({{"method", "CloseNotification"}, {"id", static_cast<qint64>(id)}});
    }

private:
    // Records the call; false when it is not to be answered normally.
    bool answer(const QJsonObject& call) {
        record_.write(QJsonDocument(call).toJson(QJsonDocument::Compact) + "\n");
        if (options_.silent) {
            // Left unanswered: the caller's time-out is what is being tested.
            setDelayedReply(true);
            return false;
        }
        if (options_.errors) {
            sendErrorReply("org.freedesktop.DBus.Error.Failed", "broken");
            return false;
        }
        return true;
    }

    Options options_;
    QFile record_;
    uint lastId_ = 0;
};

// Clicks on behalf of the test.
class Control : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.quorvane.FakeNotifications")
public slots:
    void Click(uint id) {
        QDBusMessage signal = QDBusMessage::createSignal(path, interface, "ActionInvoked");
        signal << id << QString("default");
        QDBusConnection::sessionBus().send(signal);
    }
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
    FakeService service(Options{args[1], args.contains("--markup"), args.contains("--silent"),
                                args.contains("--errors")});
    Control control;
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.registerObject(path, &service, QDBusConnection::ExportAllSlots) ||
        !bus.registerObject("/control", &control, QDBusConnection::ExportAllSlots) ||
        !bus.registerService("org.freedesktop.Notifications")) {
        std::fputs("fake-notifications: cannot own the service name\n", stderr);
        return 1;
    }
    std::puts("ready");
    std::fflush(stdout);
    return QCoreApplication::exec();
}

#include "FakeNotifications.moc"
