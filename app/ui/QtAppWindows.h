#pragma once

#include "engine/Platform.h"

#include <QObject>

namespace orvane {

// Our own windows as the engine sees them: while one of them is the active window (settings, the guide),
// no focus is moved. Lives on the main thread.
class QtAppWindows : public QObject, public AppWindows {
    Q_OBJECT
  public:
    QtAppWindows();
    bool ownWindowIsKey() override;
};

} // namespace orvane
