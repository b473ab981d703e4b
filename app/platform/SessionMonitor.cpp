#include "platform/SessionMonitor.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QObject>
#include <QVariantMap>
#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <cstdlib>
#include <unistd.h>

namespace orvane {

namespace {

const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString login1Path = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString screenSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString screenSaverPath = QStringLiteral("/org/freedesktop/ScreenSaver");

std::string text(const QString& string) {
    return string.toStdString();
}

// The X server went away: the connection stays unusable, and the displays read as unknown.
void markBroken(Display*, void* broken) {
    *static_cast<bool*>(broken) = true;
}

} // namespace

// Receives the buses' signals on the session's thread; QtDBus delivers signals to slots only.
class SessionSignals : public QObject {
    Q_OBJECT
  public:
    explicit SessionSignals(LinuxSession& session) : session_(session) {}

    // Calls the method and hands its reply to `done` on this object's thread; nothing once destroyed.
    void call(const QDBusConnection& bus, const QDBusMessage& message,
              std::function<void(const QDBusMessage& reply)> done) {
        auto* watcher = new QDBusPendingCallWatcher(bus.asyncCall(message), this);
        connect(watcher, &QDBusPendingCallWatcher::finished, this, [watcher, done = std::move(done)] {
            watcher->deleteLater();
            done(watcher->reply());
        });
    }

  public Q_SLOTS:
    void lock() {
        session_.send(SessionEvent::screenLocked);
        session_.refreshSession();
    }
    void unlock() {
        session_.send(SessionEvent::screenUnlocked);
        session_.refreshSession();
    }
    void prepareForSleep(bool start) {
        session_.send(start ? SessionEvent::willSleep : SessionEvent::didWake);
        if (!start) session_.refreshSession();
    }
    void sessionPropertiesChanged(const QString& interface, const QVariantMap& changed,
                                  const QStringList& invalidated) {
        if (interface != sessionInterface) return;
        if (changed.contains("LockedHint")) session_.setLockedHint(changed["LockedHint"].toBool());
        if (changed.contains("Active")) session_.setActive(changed["Active"].toBool());
        if (invalidated.contains("LockedHint") || invalidated.contains("Active")) session_.refreshSession();
    }
    void screenSaverActiveChanged(bool active) { session_.setScreenSaverActive(active); }

  private:
    LinuxSession& session_;
};

LinuxSession::LinuxSession(QDBusConnection systemBus, QDBusConnection sessionBus, Log& log,
                           std::string sessionID, std::string displayName)
    : systemBus_(std::move(systemBus)), sessionBus_(std::move(sessionBus)), logger_(log, "engine"),
      signals_(std::make_unique<SessionSignals>(*this)) {
    display_ = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (display_) XSetIOErrorExitHandler(display_, markBroken, &displayBroken_);

    if (systemBus_.isConnected()) {
        systemBus_.connect(login1, login1Path, managerInterface, "PrepareForSleep", signals_.get(),
                           SLOT(prepareForSleep(bool)));
        findSession(sessionID);
    } else {
        logger_.info("No system bus: the session reads as unlocked and on the console");
    }
    if (sessionBus_.isConnected()) {
        // Any path: desktops publish the screen saver at /ScreenSaver as well as the standard path.
        sessionBus_.connect(screenSaver, QString(), screenSaver, "ActiveChanged", signals_.get(),
                            SLOT(screenSaverActiveChanged(bool)));
        readScreenSaver();
    }
}

std::unique_ptr<LinuxSession> LinuxSession::forThisSession(Log& log) {
    const char* id = std::getenv("XDG_SESSION_ID");
    return std::make_unique<LinuxSession>(QDBusConnection::systemBus(), QDBusConnection::sessionBus(), log,
                                          id ? id : "");
}

LinuxSession::~LinuxSession() {
    // Pending replies and signal hooks go with the receiver, before anything they touch.
    signals_.reset();
    if (display_) XCloseDisplay(display_);
}

void LinuxSession::findSession(const std::string& sessionID) {
    auto message = QDBusMessage::createMethodCall(login1, login1Path, managerInterface,
                                                  sessionID.empty() ? "GetSessionByPID" : "GetSession");
    if (sessionID.empty())
        message << quint32(getpid());
    else
        message << QString::fromStdString(sessionID);
    signals_->call(systemBus_, message, [this](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            logger_.info("No login session from logind (" + text(reply.errorName()) +
                         "): the session reads as unlocked and on the console");
            return;
        }
        watchSession(reply.arguments().first().value<QDBusObjectPath>().path());
    });
}

void LinuxSession::watchSession(const QString& path) {
    sessionPath_ = path;
    auto* receiver = signals_.get();
    systemBus_.connect(login1, path, sessionInterface, "Lock", receiver, SLOT(lock()));
    systemBus_.connect(login1, path, sessionInterface, "Unlock", receiver, SLOT(unlock()));
    systemBus_.connect(login1, path, propertiesInterface, "PropertiesChanged", receiver,
                       SLOT(sessionPropertiesChanged(QString, QVariantMap, QStringList)));
    refreshSession();
}

// Signals can run ahead of the properties they announce; reading them again settles the answer.
void LinuxSession::refreshSession() {
    if (sessionPath_.isEmpty()) return;
    auto message = QDBusMessage::createMethodCall(login1, sessionPath_, propertiesInterface, "GetAll");
    message << sessionInterface;
    signals_->call(systemBus_, message, [this](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return;
        const auto properties = qdbus_cast<QVariantMap>(reply.arguments().first());
        if (properties.contains("LockedHint")) setLockedHint(properties["LockedHint"].toBool());
        if (properties.contains("Active")) setActive(properties["Active"].toBool());
    });
}

void LinuxSession::readScreenSaver() {
    auto message = QDBusMessage::createMethodCall(screenSaver, screenSaverPath, screenSaver, "GetActive");
    signals_->call(sessionBus_, message, [this](const QDBusMessage& reply) {
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty())
            setScreenSaverActive(reply.arguments().first().toBool());
    });
}

// Each setter reports a change that the permissive reading of the old value would not show.
void LinuxSession::setLockedHint(bool locked) {
    const bool before = lockedHint_.value_or(false);
    lockedHint_ = locked;
    if (locked != before) send(locked ? SessionEvent::screenLocked : SessionEvent::screenUnlocked);
}

void LinuxSession::setActive(bool active) {
    const bool before = active_.value_or(true);
    active_ = active;
    if (active != before)
        send(active ? SessionEvent::sessionDidBecomeActive : SessionEvent::sessionDidResignActive);
}

void LinuxSession::setScreenSaverActive(bool active) {
    const bool before = screenSaverActive_.value_or(false);
    screenSaverActive_ = active;
    if (active != before) send(active ? SessionEvent::screenLocked : SessionEvent::screenUnlocked);
}

void LinuxSession::send(SessionEvent event) {
    if (onEvent) onEvent(event);
}

std::optional<bool> LinuxSession::screenLocked() {
    if (!lockedHint_ && !screenSaverActive_) return std::nullopt;
    return lockedHint_.value_or(false) || screenSaverActive_.value_or(false);
}

std::optional<bool> LinuxSession::onConsole() {
    return active_;
}

std::optional<std::vector<bool>> LinuxSession::displaysAsleep() {
    if (!display_ || displayBroken_) return std::nullopt;
    const auto screens = std::size_t(ScreenCount(display_));
    int eventBase = 0, errorBase = 0;
    if (!DPMSQueryExtension(display_, &eventBase, &errorBase) || !DPMSCapable(display_))
        return std::vector<bool>(screens, false);
    CARD16 level = DPMSModeOn;
    BOOL enabled = False;
    if (!DPMSInfo(display_, &level, &enabled)) return std::nullopt;
    return std::vector<bool>(screens, enabled && level != DPMSModeOn);
}

} // namespace orvane

// Xlib's Bool macro would rename QMetaType::Bool in the generated code.
#undef Bool
#include "SessionMonitor.moc"
