#pragma once

#include <QObject>

class QSocketNotifier;

namespace quorvane {

// Ends the event loop with status 0 on SIGTERM or SIGINT. The signal handler only writes a byte
// to a pipe; the quit happens on the main thread, between events.
class QuitOnSignal : public QObject {
    Q_OBJECT
public:
    explicit QuitOnSignal(QObject* parent = nullptr);
    ~QuitOnSignal() override;

private:
    QSocketNotifier* notifier_ = nullptr;
};

} // namespace quorvane
