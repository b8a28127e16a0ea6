#pragma once

// A private session bus for one test, and the fake notification service on it.

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <memory>
#include <utility>

namespace quorvane::testing {

// `dbus-daemon --session` of our own; never the desktop's bus.
class TestBus {
public:
    TestBus() {
        daemon_.start("dbus-daemon", {"--session", "--nofork", "--nopidfile", "--print-address=1"});
        if (daemon_.waitForReadyRead(10000))
            address_ = QString::fromUtf8(daemon_.readLine()).trimmed();
        EXPECT_FALSE(address_.isEmpty()) << "dbus-daemon did not start";
        static int count = 0;
        name_ = QString("test-bus-%1").arg(++count);
    }
    ~TestBus() {
        QDBusConnection::disconnectFromBus(name_);
        daemon_.kill();
        daemon_.waitForFinished();
    }
    TestBus(const TestBus&) = delete;
    TestBus& operator=(const TestBus&) = delete;

    const QString& address() const { return address_; }
    QDBusConnection connection() const { return QDBusConnection::connectToBus(address_, name_); }

private:
    QProcess daemon_;
    QString address_;
    QString name_;
};

// The fake org.freedesktop.Notifications service, started on `bus` with `options`
// ("--markup", "--silent", "--errors"); it records every call it gets.
class FakeNotificationService {
public:
    FakeNotificationService(const TestBus& bus, QStringList options = {}) : bus_(bus) {
        record_ = dir_.filePath("calls.jsonl");
        auto environment = QProcessEnvironment::systemEnvironment();
        environment.insert("DBUS_SESSION_BUS_ADDRESS", bus.address());
        process_.setProcessEnvironment(environment);
        process_.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process_.start(QUORVANE_FAKE_NOTIFICATIONS, QStringList{record_} + options);
        EXPECT_TRUE(process_.waitForReadyRead(10000) && process_.readLine().trimmed() == "ready")
            << "fake notification service did not start";
    }
    ~FakeNotificationService() {
        process_.kill();
        process_.waitForFinished();
    }

    // Every call so far, oldest first.
    QList<QJsonObject> calls() const {
        QList<QJsonObject> result;
        QFile file(record_);
        if (file.open(QIODevice::ReadOnly))
            while (!file.atEnd())
                result << QJsonDocument::fromJson(file.readLine()).object();
        return result;
    }
    // The Notify calls so far.
    QList<QJsonObject> notifications() const {
        QList<QJsonObject> result;
        for (const QJsonObject& call : calls())
            if (call["method"] == "Notify")
                result << call;
        return result;
    }
    // Waits (running the event loop) until `count` notifications have arrived.
    bool waitForNotifications(qsizetype count, int timeoutMs = 10000) const {
        return QTest::qWaitFor([&] { return notifications().size() >= count; }, timeoutMs);
    }

    // Clicks the notification the service numbered `id`.
    void click(uint id) const {
        QDBusMessage message = QDBusMessage::createMethodCall(
            "org.freedesktop.Notifications", "/control", "org.quorvane.FakeNotifications", "Click");
        message << id;
        bus_.connection().call(message);
    }

private:
    const TestBus& bus_;
    QTemporaryDir dir_;
    QString record_;
    QProcess process_;
};

} // namespace quorvane::testing
