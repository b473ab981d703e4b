#pragma once

#include <QObject>
#include <QSocketNotifier>
#include <memory>

namespace orvane {

// SIGTERM, SIGINT and SIGHUP (a session logout sends them) end the event loop, so that the program leaves
// the way Quit does: profile saved, queued writes done.
class ExitSignals : public QObject {
    Q_OBJECT
  public:
    ExitSignals();
    ~ExitSignals() override;

  private:
    std::unique_ptr<QSocketNotifier> notifier_;
};

} // namespace orvane
