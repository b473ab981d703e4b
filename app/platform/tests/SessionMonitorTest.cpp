#include "platform/SessionMonitor.h"

#include "engine/SystemServices.h"
#include "engine/tests/CapturingLog.h"
#include "engine/tests/VirtualTime.h"

#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <chrono>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <stdexcept>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;

extern char** environ;

namespace {

// QtDBus needs an application object, and its replies and signals arrive through the event loop.
void ensureApplication() {
    if (QCoreApplication::instance()) return;
    static int argc = 1;
    static char name[] = "platform_tests";
    static char* argv[] = {name, nullptr};
    static QCoreApplication* application = new QCoreApplication(argc, argv);
    (void)application;
}

// Runs the event loop until the condition holds; false when it never did within a few seconds.
template <typename Condition> bool processEventsUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        QCoreApplication::processEvents();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// A private dbus-daemon for one test, ended with it; anyone may own any name on it.
class PrivateBus {
  public:
    PrivateBus() {
        int pipe[2];
        if (pipe2(pipe, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, pipe[1], 3);
        // It complains about the file limit it may not raise; nothing a test needs to see.
        posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
        char* argv[] = {const_cast<char*>("dbus-daemon"),       const_cast<char*>("--session"),
                        const_cast<char*>("--nofork"),          const_cast<char*>("--nopidfile"),
                        const_cast<char*>("--print-address=3"), nullptr};
        const int spawned = posix_spawnp(&pid_, "dbus-daemon", &actions, nullptr, argv, environ);
        posix_spawn_file_actions_destroy(&actions);
        close(pipe[1]);
        char buffer[512] = {};
        const ssize_t n = spawned == 0 ? read(pipe[0], buffer, sizeof buffer - 1) : -1;
        close(pipe[0]);
        if (n <= 0) throw std::runtime_error("dbus-daemon did not start");
        address_ = QString::fromUtf8(buffer, n).trimmed();
    }
    ~PrivateBus() {
        for (const QString& name : names_)
            QDBusConnection::disconnectFromBus(name);
        kill(pid_, SIGTERM);
        waitpid(pid_, nullptr, 0);
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;

    // A new connection of this process to the bus.
    QDBusConnection connect() {
        static int counter = 0;
        const QString name = QStringLiteral("orvane-test-%1").arg(++counter);
        names_.push_back(name);
        return QDBusConnection::connectToBus(address_, name);
    }

  private:
    pid_t pid_ = -1;
    QString address_;
    std::vector<QString> names_;
};

// Owns org.freedesktop.login1 on its bus and answers like logind for one session.
class FakeLogind : public QDBusVirtualObject {
  public:
    static constexpr const char* sessionPath = "/org/freedesktop/login1/session/c7";

    explicit FakeLogind(QDBusConnection bus) : bus_(bus) {
        bus_.registerVirtualObject("/org/freedesktop/login1", this, QDBusConnection::SubPath);
        if (!bus_.registerService("org.freedesktop.login1")) throw std::runtime_error("name taken");
    }
    ~FakeLogind() override {
        bus_.unregisterObject("/org/freedesktop/login1", QDBusConnection::UnregisterTree);
    }

    bool lockedHint = false;
    bool active = true;
    int calls = 0;

    // Changes the property as logind does, announcing it.
    void setLockedHint(bool locked) {
        lockedHint = locked;
        announce({{"LockedHint", locked}});
    }
    void setActive(bool value) {
        active = value;
        announce({{"Active", value}});
    }
    void emitSessionSignal(const char* name) {
        bus_.send(QDBusMessage::createSignal(sessionPath, "org.freedesktop.login1.Session", name));
    }
    void prepareForSleep(bool start) {
        auto message = QDBusMessage::createSignal("/org/freedesktop/login1", "org.freedesktop.login1.Manager",
                                                  "PrepareForSleep");
        message << start;
        bus_.send(message);
    }

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        ++calls;
        const QString member = message.member();
        const auto arguments = message.arguments();
        if (member == "GetSession" && arguments.value(0).toString() == "c7")
            return connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(sessionPath))));
        if (member == "GetSessionByPID" && arguments.value(0).toUInt() == quint32(getpid()))
            return connection.send(message.createReply(QVariant::fromValue(QDBusObjectPath(sessionPath))));
        if (member == "GetAll" && message.path() == sessionPath &&
            arguments.value(0).toString() == "org.freedesktop.login1.Session")
            return connection.send(message.createReply(QVariantMap{
                {"Id", "c7"}, {"LockedHint", lockedHint}, {"Active", active}, {"Remote", false}}));
        return connection.send(
            message.createErrorReply("org.freedesktop.login1.NoSuchSession", "No session for this request"));
    }

  private:
    void announce(const QVariantMap& changed) {
        auto message =
            QDBusMessage::createSignal(sessionPath, "org.freedesktop.DBus.Properties", "PropertiesChanged");
        message << QString("org.freedesktop.login1.Session") << changed << QStringList();
        bus_.send(message);
    }

    QDBusConnection bus_;
};

// The desktop's screen saver on the session bus.
class FakeScreenSaver : public QDBusVirtualObject {
  public:
    explicit FakeScreenSaver(QDBusConnection bus, bool active) : bus_(bus), active_(active) {
        bus_.registerVirtualObject("/org/freedesktop/ScreenSaver", this);
        if (!bus_.registerService("org.freedesktop.ScreenSaver")) throw std::runtime_error("name taken");
    }
    ~FakeScreenSaver() override { bus_.unregisterObject("/org/freedesktop/ScreenSaver"); }

    void setActive(bool active) {
        active_ = active;
        auto message = QDBusMessage::createSignal("/org/freedesktop/ScreenSaver",
                                                  "org.freedesktop.ScreenSaver", "ActiveChanged");
        message << active;
        bus_.send(message);
    }

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != "GetActive") return false;
        return connection.send(message.createReply(active_));
    }

  private:
    QDBusConnection bus_;
    bool active_;
};

struct SessionMonitorTest : ::testing::Test {
    SessionMonitorTest() { ensureApplication(); }

    // The engine's real state monitor over the session, in virtual time.
    void startMonitor(LinuxSession& session) {
        monitor = std::make_unique<SystemStateMonitor>(session, main);
        monitor->onChange = [this] { ++changes; };
        monitor->start();
    }
    bool becomes(bool active) {
        return processEventsUntil([&] { return monitor->isActive() == active; });
    }

    CapturingLog log;
    ManualClock clock;
    ManualScheduler scheduler{clock};
    ManualQueue main{scheduler};
    std::unique_ptr<SystemStateMonitor> monitor;
    int changes = 0;
};

QDBusConnection noBus(const char* name) {
    return QDBusConnection::connectToBus("unix:path=/nonexistent/bus", name);
}

} // namespace

TEST_F(SessionMonitorTest, LockUnlockSleepWakeAndUserSwitchFromLogindChangeTheVerdict) {
    PrivateBus systemBus;
    FakeLogind logind(systemBus.connect());
    {
        LinuxSession session(systemBus.connect(), noBus("no-session-bus"), log, "c7", "unix:/nonexistent");
        startMonitor(session);
        ASSERT_TRUE(processEventsUntil([&] { return session.onConsole().has_value(); }));
        EXPECT_EQ(session.onConsole(), true);
        EXPECT_EQ(session.screenLocked(), false);
        EXPECT_TRUE(monitor->isActive());

        logind.setLockedHint(true);
        logind.emitSessionSignal("Lock");
        EXPECT_TRUE(becomes(false));
        EXPECT_EQ(session.screenLocked(), true);
        logind.setLockedHint(false);
        logind.emitSessionSignal("Unlock");
        EXPECT_TRUE(becomes(true));

        logind.prepareForSleep(true);
        EXPECT_TRUE(becomes(false));
        logind.prepareForSleep(false);
        EXPECT_TRUE(becomes(true));

        // Another user's session takes the seat, then ours comes back.
        logind.setActive(false);
        EXPECT_TRUE(becomes(false));
        EXPECT_EQ(session.onConsole(), false);
        logind.setActive(true);
        EXPECT_TRUE(becomes(true));
        EXPECT_EQ(changes, 6);
        monitor.reset();
    }
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(SessionMonitorTest, ALockAnnouncedBeforeItsPropertyIsReadAgainAndTheSessionIsFoundByProcess) {
    PrivateBus systemBus;
    FakeLogind logind(systemBus.connect());
    logind.active = false; // found already switched away: the verdict follows the first answer
    LinuxSession session(systemBus.connect(), noBus("no-session-bus"), log, "", "unix:/nonexistent");
    startMonitor(session);
    EXPECT_TRUE(becomes(false));
    logind.setActive(true);
    EXPECT_TRUE(becomes(true));

    // The hint changes without its change signal; only the Lock signal says anything happened.
    logind.lockedHint = true;
    logind.emitSessionSignal("Lock");
    EXPECT_TRUE(becomes(false));
    EXPECT_EQ(session.screenLocked(), true);
    monitor.reset();
}

TEST_F(SessionMonitorTest, TheScreenSaverLocksAndUnlocks) {
    PrivateBus sessionBus;
    FakeScreenSaver saver(sessionBus.connect(), true);
    LinuxSession session(noBus("no-system-bus"), sessionBus.connect(), log, "c7", "unix:/nonexistent");
    EXPECT_EQ(session.screenLocked(), std::nullopt) << "nothing read yet";
    startMonitor(session);
    EXPECT_TRUE(becomes(false)) << "active at start";
    EXPECT_EQ(session.onConsole(), std::nullopt) << "no logind on a missing system bus";

    saver.setActive(false);
    EXPECT_TRUE(becomes(true));
    EXPECT_EQ(session.screenLocked(), false);
    saver.setActive(true);
    EXPECT_TRUE(becomes(false));
    monitor.reset();
}

TEST_F(SessionMonitorTest, MissingBusesServicesAndDisplaysReadAsPermissive) {
    {
        LinuxSession session(noBus("no-system-bus"), noBus("no-session-bus"), log, "c7", "unix:/nonexistent");
        startMonitor(session);
        EXPECT_EQ(session.screenLocked(), std::nullopt);
        EXPECT_EQ(session.onConsole(), std::nullopt);
        EXPECT_EQ(session.displaysAsleep(), std::nullopt);
        scheduler.advance(SystemStateMonitor::pollInterval);
        EXPECT_TRUE(monitor->isActive());
        EXPECT_EQ(log.count("No system bus"), 1u);
        monitor.reset();
    }

    // Buses that work, without logind or a screen saver on them.
    PrivateBus systemBus, sessionBus;
    {
        LinuxSession session(systemBus.connect(), sessionBus.connect(), log, "c7", "unix:/nonexistent");
        startMonitor(session);
        ASSERT_TRUE(processEventsUntil([&] { return log.count("No login session") == 1; }));
        EXPECT_NE(log.lines().back().message.find("ServiceUnknown"), std::string::npos)
            << log.lines().back().message;
        EXPECT_EQ(session.screenLocked(), std::nullopt);
        EXPECT_EQ(session.onConsole(), std::nullopt);
        EXPECT_TRUE(monitor->isActive());
        monitor.reset();
    }
}
