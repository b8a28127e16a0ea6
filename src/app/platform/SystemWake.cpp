#include "platform/SystemWake.h"

namespace quorvane {

SystemWake::SystemWake(QDBusConnection bus, QObject* parent) : QObject(parent) {
    // QDBusConnection only offers the string form for bus signals.
    watching_ =
        bus.isConnected() && bus.connect("org.freedesktop.login1", "/org/freedesktop/login1",
                                         "org.freedesktop.login1.Manager", "PrepareForSleep", this,
                                         SLOT(prepareForSleep(bool)));
}

void SystemWake::prepareForSleep(bool sleeping) {
    if (!sleeping)
        emit woke();
}

} // namespace quorvane
