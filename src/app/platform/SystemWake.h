#pragma once

#include <QDBusConnection>
#include <QObject>

namespace quorvane {

// Reports the system waking from sleep: logind's PrepareForSleep(false) on the system bus.
// Without a system bus nothing is ever reported.
class SystemWake : public QObject {
    Q_OBJECT
public:
    explicit SystemWake(QDBusConnection bus, QObject* parent = nullptr);

    // Whether it is listening at all.
    bool watching() const { return watching_; }

signals:
    void woke();

private slots:
    void prepareForSleep(bool sleeping);

private:
    bool watching_ = false;
};

} // namespace quorvane
