#pragma once

#include "engine/Queue.h"

class QObject;

namespace orvane {

// The engine's main queue in the program: tasks run in the Qt event loop of the main thread.
// post() and postAfter() may be called from any thread; tasks posted after the loop ended never run.
class QtMainQueue : public MainQueue {
  public:
    // Tasks run in the thread of `context` (the application object when null) and die with it.
    explicit QtMainQueue(QObject* context = nullptr);

    void post(Task task) override;
    void postAfter(double seconds, Task task) override;

  private:
    QObject* context_;
};

} // namespace orvane
