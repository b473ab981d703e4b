#pragma once

#include "engine/Log.h"
#include "engine/Platform.h"

#include <QDBusConnection>
#include <QString>
#include <memory>
#include <optional>
#include <string>

typedef struct _XDisplay Display;

namespace orvane {

class SessionSignals;

// The login session as the engine's state monitor sees it:
// - logind on the system bus: the session's LockedHint and Active properties, its Lock and Unlock
//   signals, and the manager's PrepareForSleep (true: will sleep, false: did wake);
// - the session bus's screen saver: ActiveChanged(true) reads as locked;
// - DPMS on the X display for sleeping displays.
// The D-Bus answers are kept from signals and asynchronous replies, so no query ever waits on a bus.
// A service that is missing or does not answer reads as absent, which the monitor takes permissively.
//
// Lives on a thread that runs a Qt event loop (the main thread): the buses' signals and replies are
// delivered there, and so is onEvent. Create, query and destroy it on that thread.
class LinuxSession : public Session {
  public:
    // sessionID: logind's id of our session ($XDG_SESSION_ID); when empty the session is looked up by
    // our process id. displayName: the X display for DPMS ($DISPLAY when empty).
    LinuxSession(QDBusConnection systemBus, QDBusConnection sessionBus, Log& log, std::string sessionID,
                 std::string displayName = {});
    // The user's buses, session and display.
    static std::unique_ptr<LinuxSession> forThisSession(Log& log);
    ~LinuxSession() override;
    LinuxSession(const LinuxSession&) = delete;
    LinuxSession& operator=(const LinuxSession&) = delete;

    // Locked when logind's hint says so or the screen saver is active; absent when neither answered.
    std::optional<bool> screenLocked() override;
    // logind's Active: false while another user's session (or a text console) has the seat.
    std::optional<bool> onConsole() override;
    // DPMS has one power level per X screen: one flag per screen, asleep in Standby, Suspend or Off.
    // Without the DPMS extension (or with DPMS disabled) the displays are awake; absent without X.
    std::optional<std::vector<bool>> displaysAsleep() override;

  private:
    friend class SessionSignals;

    void findSession(const std::string& sessionID);
    void watchSession(const QString& path);
    void refreshSession();
    void readScreenSaver();
    void setLockedHint(bool locked);
    void setActive(bool active);
    void setScreenSaverActive(bool active);
    void send(SessionEvent event);

    QDBusConnection systemBus_;
    QDBusConnection sessionBus_;
    Logger logger_;
    Display* display_ = nullptr; // a private connection for DPMS, used on the owner's thread
    bool displayBroken_ = false;
    std::unique_ptr<SessionSignals> signals_;
    QString sessionPath_;
    std::optional<bool> lockedHint_;
    std::optional<bool> active_;
    std::optional<bool> screenSaverActive_;
};

} // namespace orvane
