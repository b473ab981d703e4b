#pragma once

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <functional>
#include <memory>

namespace orvane {

// One Orvane per user session. The first instance owns the session bus name "org.orvane.Orvane" (or, with
// no session bus, a lock and a socket in $XDG_RUNTIME_DIR); a later start asks it to show its settings
// window and ends.
class SingleInstance : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.orvane.Orvane")
  public:
    static constexpr const char* serviceName = "org.orvane.Orvane";
    static constexpr const char* objectPath = "/org/orvane/Orvane";

    enum class Outcome {
        first,        // this is the one instance; onShowSettings runs when another start asks
        askedRunning, // another instance runs and shows its settings now
        failed,       // another instance runs but did not answer
    };

    SingleInstance();
    ~SingleInstance() override;

    // Claims the instance, or asks the running one. Call once, with the application object alive.
    Outcome claim();

    std::function<void()> onShowSettings;

  public slots:
    Q_SCRIPTABLE void ShowSettings();

  private:
    Outcome claimWithLock();
    bool viaBus_ = false;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
};

} // namespace orvane
