// The orvane program itself, started as a user starts it, on desktops of its own.

#include "UiTest.h"

#include <QImage>
#include <csignal>
#include <regex>
#include <thread>

// Last: see Desktop.h.
#include "Desktop.h"
#include "OrvaneProgram.h"

using namespace orvane;
using namespace orvane::test;

namespace {

// The tests here need no face: a live test picture stands for the camera.
const std::string camera = "videotestsrc is-live=true";

// Asks the window manager to close a window, as its close button does (the source: a pager).
void closeWindow(const TestDesktop& desktop, const std::string& title) {
    TestClient pager("Pager", std::nullopt, desktop.display());
    const Window window = managedWindow(desktop, title);
    const Atom closing = pager.atom("_NET_CLOSE_WINDOW");
    XEvent event{.xclient = {ClientMessage, 0, False, nullptr, window, closing, 32, {.l = {CurrentTime, 2}}}};
    XSendEvent(pager.connection(), pager.root(), False, SubstructureRedirectMask | SubstructureNotifyMask,
               &event);
}

// A call on the desktop's session bus; the reply as dbus-send prints it, empty when the call fails.
std::string dbusCall(const TestDesktop& desktop, const TemporaryFolder& home, const std::string& call) {
    const std::string reply = shellQuoted((home / "reply.txt").string());
    if (desktop.run("dbus-send --bus=" + shellQuoted(desktop.variable("DBUS_SESSION_BUS_ADDRESS")) +
                    " --print-reply --reply-timeout=1000 " + call + " >" + reply + " 2>&1") != 0)
        return "";
    return readFile(home / "reply.txt");
}

} // namespace

TEST(Program, CommandLineOptionsAndTheCalibrationMapWithoutAWindow) {
    TemporaryFolder home;
    TestDesktop desktop;
    Program program(desktop, home, camera);
    std::string out;
    EXPECT_EQ(program.run("--version", &out), 0);
    EXPECT_TRUE(out.starts_with("orvane ")) << out;
    EXPECT_EQ(program.run("--help", &out), 0);
    EXPECT_NE(out.find("Usage: orvane"), std::string::npos);
    EXPECT_EQ(program.run("--bogus", &out), 2);
    EXPECT_NE(out.find("unknown option '--bogus'"), std::string::npos) << out;
    EXPECT_EQ(program.run("--version --bogus", &out), 0);
    // Without any X display: one clear line.
    EXPECT_EQ(program.run("", &out, "DISPLAY="), 1);
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 1) << out;
    EXPECT_NE(out.find("no X display"), std::string::npos) << out;
    // The calibration map written without any window, for support and the demo.
    EXPECT_EQ(program.run("--calibration-map " + (home / "map.png").string(), &out), 1);
    EXPECT_NE(out.find("no calibration"), std::string::npos) << out;
    // A profile for the test desktop's two monitors and the override camera, as calibration would leave it.
    storeProfile(home / "data/Orvane/Profiles", desktop.displays(), "source");
    EXPECT_EQ(program.run("--calibration-map " + (home / "map.png").string(), &out), 0) << out;
    EXPECT_EQ(QImage(QString::fromStdString((home / "map.png").string())).size(), QSize(1200, 800));
    EXPECT_EQ(program.run("--calibration-map " + (home / "map.svg").string(), &out), 0) << out;
    EXPECT_NE(readFile(home / "map.svg").find("<svg"), std::string::npos);
    // Without the desktop (a support request), the profile saved last is drawn.
    EXPECT_EQ(program.run("--calibration-map " + (home / "map2.png").string(), &out, "DISPLAY="), 0) << out;
    EXPECT_TRUE(std::filesystem::exists(home / "map2.png"));
    EXPECT_EQ(program.run("--calibration-map " + (home / "map.jpg").string(), &out), 2);
    EXPECT_EQ(program.run("--calibration-map", &out), 2);
}

// Started at login before the panel: the icon appears once a tray host runs. A second start opens the
// running one's settings; closing its windows leaves it in the tray, and it ends cleanly on a signal.
TEST(Program, RunsInTheTrayAsOneInstance) {
    TemporaryFolder home;
    TestDesktop desktop("--dbus --no-tray");
    Program program(desktop, home, camera);
    program.start();
    ASSERT_TRUE(program.waitForLog("No system tray")) << program.log();
    desktop.run("trayer --edge top --align right --widthtype request --height 24 --SetDockType true "
                ">/dev/null 2>&1 & echo $! >" +
                shellQuoted((home / "trayer.pid").string()));
    EXPECT_TRUE(waitUntil([&] { return dockedInTray(desktop, program.pid()); }, 10.0)) << program.log();
    // The guide opens at the first start.
    EXPECT_TRUE(waitUntil([&] { return managedWindow(desktop, "Welcome to Orvane") != 0; }));
    Program second(desktop, home, camera);
    EXPECT_EQ(second.run(""), 0);
    EXPECT_TRUE(waitUntil([&] { return managedWindow(desktop, "Orvane Settings") != 0; }));
    for (const char* title : {"Orvane Settings", "Welcome to Orvane"})
        closeWindow(desktop, title);
    EXPECT_TRUE(waitUntil([&] {
        return !managedWindow(desktop, "Orvane Settings") && !managedWindow(desktop, "Welcome to Orvane");
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_TRUE(program.running());
    EXPECT_EQ(program.stop(SIGTERM), 0) << program.log();
    std::system(("kill $(cat " + shellQuoted((home / "trayer.pid").string()) + ")").c_str());
}

// Where a StatusNotifierItem watcher runs (KDE, GNOME's AppIndicator extension), the icon registers there
// and its menu is exported over D-Bus.
TEST(Program, RegistersAsAStatusNotifierItem) {
    TemporaryFolder home;
    TestDesktop desktop("--dbus --no-tray");
    const std::string bus =
        "DBUS_SESSION_BUS_ADDRESS=" + shellQuoted(desktop.variable("DBUS_SESSION_BUS_ADDRESS"));
    desktop.run(bus + " status-notifier-watcher >/dev/null 2>&1 & echo $! >" +
                shellQuoted((home / "watcher.pid").string()));
    // Read afresh each time: a service that has only just started may not answer yet.
    auto property = [&](const std::string& service, const std::string& path, const std::string& interface,
                        const std::string& name) {
        return dbusCall(desktop, home,
                        "--dest=" + service + " " + path +
                            " org.freedesktop.DBus.Properties.Get string:" + interface + " string:" + name);
    };
    auto watcher = [&](const std::string& name) {
        return property("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                        "org.kde.StatusNotifierWatcher", name);
    };
    // A panel that registers before the watcher answers on its object is lost.
    ASSERT_TRUE(waitUntil([&] { return !watcher("IsStatusNotifierHostRegistered").empty(); }, 5.0));
    // (GTK would otherwise look for an accessibility bus first, and sometimes wait for it.)
    desktop.run(bus + " NO_AT_BRIDGE=1 gtk-sni-tray-standalone >" +
                shellQuoted((home / "panel.log").string()) + " 2>&1 & echo $! >" +
                shellQuoted((home / "panel.pid").string()));
    // Programs choose this kind of tray at their start, once a host (the panel) is registered.
    ASSERT_TRUE(waitUntil(
        [&] { return watcher("IsStatusNotifierHostRegistered").find("boolean true") != std::string::npos; },
        10.0))
        << readFile(home / "panel.log");
    Program program(desktop, home, camera);
    program.start();
    // "service/path" or a bare service with the default path.
    std::string items;
    std::smatch item;
    ASSERT_TRUE(waitUntil(
        [&] {
            return std::regex_search(items = watcher("RegisteredStatusNotifierItems"), item,
                                     std::regex("string \"([^\"/]+)(/[^\"]*)?\""));
        },
        10.0))
        << program.log();
    const std::string service = item[1], path = item[2].matched ? item[2].str() : "/StatusNotifierItem";
    const std::string tooltip = property(service, path, "org.kde.StatusNotifierItem", "ToolTip");
    EXPECT_NE(tooltip.find("\"Needs calibration\""), std::string::npos) << tooltip;
    const std::string menu = property(service, path, "org.kde.StatusNotifierItem", "Menu");
    std::smatch menuPath;
    ASSERT_TRUE(std::regex_search(menu, menuPath, std::regex("object path \"([^\"]+)\""))) << menu;
    const std::string layout =
        dbusCall(desktop, home,
                 "--dest=" + service + " " + menuPath[1].str() +
                     " com.canonical.dbusmenu.GetLayout int32:0 int32:-1 array:string:label");
    for (const char* label :
         {"Needs calibration", "Pause Tracking", "Calibrate…", "Settings…", "Welcome Guide…", "Quit Orvane"})
        EXPECT_NE(layout.find("\"" + std::string(label) + "\""), std::string::npos)
            << label << " in " << layout;
    EXPECT_EQ(program.stop(SIGTERM), 0);
    for (const char* name : {"watcher.pid", "panel.pid"})
        std::system(("kill $(cat " + shellQuoted((home / name).string()) + ") 2>/dev/null").c_str());
}
