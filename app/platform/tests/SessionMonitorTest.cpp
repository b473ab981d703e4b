#include "platform/SessionMonitor.h"

#include "engine/SystemServices.h"
#include "engine/tests/CapturingLog.h"
#include "engine/tests/VirtualTime.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <stdexcept>
#include <unistd.h>
// After Qt's headers: Xlib's macros (Bool, Status) clash with names declared there.
#include "desk/TestDesktop.h"

using namespace orvane;
using namespace orvane::test;

namespace {

const QString sessionPath = "/org/freedesktop/login1/session/c7";

// Owns a well-known name on a bus (subscriptions filtered on that sender ignore anyone else's signals),
// answers method calls under `path` with `answer` (an error when it has none) and sends signals.
struct FakeService : QDBusVirtualObject {
    using Answer = std::function<std::optional<QVariant>(const QDBusMessage& call)>;
    QDBusConnection bus;
    QString path;
    Answer answer;

    FakeService(QDBusConnection on, const QString& name, const QString& under, Answer answering)
        : bus(on), path(under), answer(std::move(answering)) {
        bus.registerVirtualObject(path, this, QDBusConnection::SubPath);
        if (!bus.registerService(name)) throw std::runtime_error("name taken");
    }
    ~FakeService() override { bus.unregisterObject(path, QDBusConnection::UnregisterTree); }

    void signal(const QString& from, const QString& interface, const QString& member,
                QVariantList arguments) {
        auto message = QDBusMessage::createSignal(from, interface, member);
        message.setArguments(arguments);
        bus.send(message);
    }
    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& call, const QDBusConnection& connection) override {
        const auto reply = answer(call);
        return connection.send(reply
                                   ? call.createReply(*reply)
                                   : call.createErrorReply("org.freedesktop.DBus.Error.Failed", "No answer"));
    }
};

// Runs the event loop, which delivers QtDBus's replies and signals, until the condition holds.
bool processEventsUntil(const std::function<bool()>& condition) {
    return waitUntil([&] {
        QCoreApplication::processEvents();
        return condition();
    });
}

QDBusConnection noBus(const char* name) {
    return QDBusConnection::connectToBus("unix:path=/nonexistent/bus", name);
}

} // namespace

TEST(SessionMonitorTest, LogindAndTheScreenSaverDecideTheVerdictAndMissingServicesArePermissive) {
    static int argc = 1;
    static char* argv[] = {const_cast<char*>("platform_tests"), nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv); // QtDBus needs one, for good
    // Private buses, on which anyone may own any name; its X server has no power management.
    TestDesktop desktop("--dbus --system-bus");
    auto bus = [&, counter = 0](const std::string& which) mutable {
        return QDBusConnection::connectToBus(
            QString::fromStdString(desktop.variable("DBUS_" + which + "_BUS_ADDRESS")),
            QStringLiteral("orvane-test-%1").arg(++counter));
    };
    CapturingLog log;
    ManualClock clock;
    ManualScheduler scheduler{clock};
    ManualQueue main{scheduler};
    // The engine's real state monitor over the session, in virtual time.
    std::unique_ptr<SystemStateMonitor> monitor;
    auto startMonitor = [&](LinuxSession& session) {
        monitor = std::make_unique<SystemStateMonitor>(session, main);
        monitor->start();
    };
    auto becomes = [&](bool active) {
        return processEventsUntil([&] { return monitor->isActive() == active; });
    };

    {
        SCOPED_TRACE("no buses, an X server without power management");
        LinuxSession session(noBus("no-system-bus"), noBus("no-session-bus"), log, "c7", desktop.display());
        startMonitor(session);
        EXPECT_EQ(session.screenLocked(), std::nullopt);
        EXPECT_EQ(session.onConsole(), std::nullopt);
        EXPECT_EQ(session.displaysAsleep(), std::vector<bool>{false});
        scheduler.advance(SystemStateMonitor::pollInterval);
        EXPECT_TRUE(monitor->isActive());
        EXPECT_EQ(log.count("No system bus"), 1u);
        monitor.reset();
    }
    {
        SCOPED_TRACE("a system bus without logind, a session bus with an active screen saver, no X server");
        bool saverActive = true;
        FakeService saver(bus("SESSION"), "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                          [&](const QDBusMessage& call) {
                              return call.member() == "GetActive" ? std::optional<QVariant>(saverActive)
                                                                  : std::nullopt;
                          });
        auto setSaver = [&](bool value) {
            saverActive = value;
            saver.signal("/org/freedesktop/ScreenSaver", "org.freedesktop.ScreenSaver", "ActiveChanged",
                         {value});
        };
        LinuxSession session(bus("SYSTEM"), bus("SESSION"), log, "c7", "unix:/nonexistent");
        startMonitor(session);
        ASSERT_TRUE(processEventsUntil([&] { return log.count("No login session") == 1; }));
        EXPECT_NE(log.lines().back().message.find("ServiceUnknown"), std::string::npos)
            << log.lines().back().message;
        EXPECT_EQ(session.onConsole(), std::nullopt);
        EXPECT_EQ(session.displaysAsleep(), std::nullopt);
        EXPECT_TRUE(becomes(false)) << "active at start";
        setSaver(false);
        EXPECT_TRUE(becomes(true));
        EXPECT_EQ(session.screenLocked(), false);
        setSaver(true);
        EXPECT_TRUE(becomes(false));
        monitor.reset();
    }

    SCOPED_TRACE("logind");
    const auto linesBefore = log.lines().size();
    // Found already switched away: the verdict follows the first answer.
    bool lockedHint = false, active = false;
    FakeService logind(bus("SYSTEM"), "org.freedesktop.login1", "/org/freedesktop/login1",
                       [&](const QDBusMessage& call) -> std::optional<QVariant> {
                           const auto argument = call.arguments().value(0);
                           if ((call.member() == "GetSession" && argument == "c7") ||
                               (call.member() == "GetSessionByPID" && argument.toUInt() == quint32(getpid())))
                               return QVariant::fromValue(QDBusObjectPath(sessionPath));
                           if (call.member() == "GetAll" && call.path() == sessionPath)
                               return QVariantMap{{"LockedHint", lockedHint}, {"Active", active}};
                           return std::nullopt;
                       });
    // Changes a session property as logind does, announcing it.
    auto set = [&](bool& field, const char* property, bool value) {
        field = value;
        logind.signal(sessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged",
                      {"org.freedesktop.login1.Session", QVariantMap{{property, value}}, QStringList()});
    };
    const QString sessionInterface = "org.freedesktop.login1.Session",
                  manager = "org.freedesktop.login1.Manager";
    // Without a session id the session is found by our process id.
    LinuxSession session(bus("SYSTEM"), noBus("no-session-bus"), log, "", "unix:/nonexistent");
    startMonitor(session);
    EXPECT_TRUE(becomes(false));
    EXPECT_EQ(session.onConsole(), false);
    set(active, "Active", true);
    EXPECT_TRUE(becomes(true));
    EXPECT_EQ(session.screenLocked(), false);
    // The hint changes without its change signal: the Lock signal alone says something happened.
    lockedHint = true;
    logind.signal(sessionPath, sessionInterface, "Lock", {});
    EXPECT_TRUE(becomes(false));
    EXPECT_EQ(session.screenLocked(), true);
    set(lockedHint, "LockedHint", false);
    logind.signal(sessionPath, sessionInterface, "Unlock", {});
    EXPECT_TRUE(becomes(true));
    logind.signal("/org/freedesktop/login1", manager, "PrepareForSleep", {true});
    EXPECT_TRUE(becomes(false));
    logind.signal("/org/freedesktop/login1", manager, "PrepareForSleep", {false});
    EXPECT_TRUE(becomes(true));
    // Another user's session takes the seat, then ours comes back.
    set(active, "Active", false);
    EXPECT_TRUE(becomes(false));
    EXPECT_EQ(session.onConsole(), false);
    set(active, "Active", true);
    EXPECT_TRUE(becomes(true));
    monitor.reset();
    // With its id the session is asked for by name.
    LinuxSession named(bus("SYSTEM"), noBus("no-session-bus"), log, "c7", "unix:/nonexistent");
    EXPECT_TRUE(processEventsUntil([&] { return named.onConsole() == true; }));
    EXPECT_EQ(log.lines().size(), linesBefore);
}
