#pragma once

#include <QMetaObject>
#include <QObject>
#include <functional>
#include <utility>

namespace orvane {

// A re-read after observed changes, run once per turn of the event loop however many changes came: the
// engine, the settings and the calibration state tell their observers before a value changes, so the
// new values are read in a task of their own. The task dies with the context object.
class Coalesced {
  public:
    Coalesced(QObject* context, std::function<void()> action)
        : context_(context), action_(std::move(action)) {}

    void request() {
        if (std::exchange(pending_, true)) return;
        QMetaObject::invokeMethod(
            context_,
            [this] {
                pending_ = false;
                action_();
            },
            Qt::QueuedConnection);
    }

  private:
    QObject* context_;
    std::function<void()> action_;
    bool pending_ = false;
};

} // namespace orvane
