#include "ui/QtMainQueue.h"

#include <QCoreApplication>
#include <QTimer>
#include <cmath>

namespace orvane {

QtMainQueue::QtMainQueue(QObject* context) : context_(context ? context : QCoreApplication::instance()) {}

void QtMainQueue::post(Task task) {
    QMetaObject::invokeMethod(context_, std::move(task), Qt::QueuedConnection);
}

void QtMainQueue::postAfter(double seconds, Task task) {
    // Timers belong to the thread that starts them: start this one on the main thread. Short delays
    // (the calibration's 50 ms ring steps) need the precise timer; long ones may be coalesced.
    const int milliseconds = std::isfinite(seconds) && seconds > 0 ? int(std::lround(seconds * 1000)) : 0;
    post([context = context_, milliseconds, task = std::move(task)] {
        QTimer::singleShot(milliseconds, milliseconds < 2000 ? Qt::PreciseTimer : Qt::CoarseTimer, context,
                           task);
    });
}

} // namespace orvane
