#include "model/NotificationClicks.h"

#include "model/AppModel.h"
#include "model/Notifier.h"

#include <QTimer>

namespace quorvane {

NotificationClicks::NotificationClicks(Notifier& notifier, QObject* parent) : QObject(parent) {
    connect(&notifier, &Notifier::clicked, this, [this] {
        QTimer::singleShot(openDelayMs, this, [model = model_] {
            if (model)
                emit model->statusPanelRequested();
        });
    });
}

} // namespace quorvane
