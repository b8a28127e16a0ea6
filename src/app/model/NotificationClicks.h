#pragma once

#include <QObject>
#include <QPointer>

namespace quorvane {

class AppModel;
class Notifier;

// What a click on one of our notifications does: 0.9 s later, on the main thread, the model is
// asked to open the status panel; nothing happens if the model is gone by then.
class NotificationClicks : public QObject {
    Q_OBJECT
public:
    static constexpr int openDelayMs = 900;

    explicit NotificationClicks(Notifier& notifier, QObject* parent = nullptr);

    void setModel(AppModel* model) { model_ = model; }

private:
    QPointer<AppModel> model_;
};

} // namespace quorvane
