#pragma once

// A virtual desktop for the tests, the demo and the benchmarks (scripts/test-desktop: Xvfb with two RandR
// monitors LEFT and RIGHT side by side, openbox, trayer, private D-Bus buses on request) and small real X
// client windows on it.

#include "engine/Queue.h"
#include "platform/Displays.h"

// clang-format off
// Before Xlib, whose macro None would break GoogleTest's own None.
#include <gtest/gtest.h>
// clang-format on

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace orvane::test {

// Waits up to `seconds` for the condition, checking every millisecond.
inline bool waitUntil(const std::function<bool()>& condition, double seconds = 3.0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// One desktop of scripts/test-desktop: started by the constructor, stopped by the destructor (and by the
// script itself should this process die first). `flags`: more start options, e.g. "--dbus --system-bus".
// `exported`: its variables are also set in this process, so that code opening "the" display finds it.
class TestDesktop {
  public:
    explicit TestDesktop(const std::string& flags = "", bool exported = false) {
        std::string text;
        if (runCapturing(script() + " start " + flags + " --owner " + std::to_string(getpid()), text) != 0)
            throw std::runtime_error("test-desktop did not start: " + text);
        // Lines "export NAME=VALUE", the value quoted by bash's printf %q.
        for (std::size_t start = 0, end; start < text.size(); start = end + 1) {
            end = std::min(text.find('\n', start), text.size());
            std::string line = text.substr(start, end - start), value;
            auto equals = line.find('=');
            if (line.rfind("export ", 0) != 0 || equals == std::string::npos) continue;
            for (std::size_t i = equals + 1; i < line.size(); ++i)
                value += line[i] == '\\' && i + 1 < line.size() ? line[++i] : line[i];
            const std::string name = line.substr(7, equals - 7);
            variables_[name] = value;
            if (exported) setenv(name.c_str(), value.c_str(), 1);
        }
        if (!variables_.contains("DISPLAY") || !variables_.contains("ORVANE_TEST_DESKTOP"))
            throw std::runtime_error("test-desktop printed no display: " + text);
    }
    ~TestDesktop() { std::system((script() + " stop " + variable("ORVANE_TEST_DESKTOP")).c_str()); }
    TestDesktop(const TestDesktop&) = delete;
    TestDesktop& operator=(const TestDesktop&) = delete;

    // The desktop shared by the tests of this process, started on first use and stopped at exit.
    static TestDesktop& shared() {
        static TestDesktop desktop("", true);
        return desktop;
    }

    const std::string& display() const { return variables_.at("DISPLAY"); }
    // An exported variable: DISPLAY, DBUS_SESSION_BUS_ADDRESS, ...
    const std::string& variable(const std::string& name) const { return variables_.at(name); }
    std::vector<DisplayInfo> displays() const {
        Display* connection = XOpenDisplay(display().c_str());
        auto list = readDisplays(connection);
        XCloseDisplay(connection);
        return list;
    }

    // Runs a shell command against this desktop; returns the exit status.
    int run(const std::string& command) const {
        std::string ignored;
        return runCapturing("DISPLAY=" + display() + " " + command, ignored);
    }

  private:
    static std::string script() { return "'" ORVANE_SOURCE_DIR "/scripts/test-desktop'"; }
    static int runCapturing(const std::string& command, std::string& text) {
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) return -1;
        char buffer[512];
        for (std::size_t n; (n = fread(buffer, 1, sizeof buffer, pipe)) > 0;)
            text.append(buffer, n);
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::map<std::string, std::string> variables_;
};

// A main queue that collects the tasks posted from any thread (delays do not matter to these tests); the
// test runs them on its own thread, as the Qt event loop would on the main thread.
class CollectingQueue : public MainQueue {
  public:
    void post(Task task) override {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    void postAfter(double, Task task) override { post(std::move(task)); }
    void runAll() {
        std::vector<Task> tasks;
        {
            std::lock_guard lock(mutex_);
            tasks.swap(tasks_);
        }
        for (auto& task : tasks)
            task();
    }

  private:
    std::mutex mutex_;
    std::vector<Task> tasks_;
};

// How a test window should look to the window manager and to window lists.
struct WindowSpec {
    Rect frame{100, 100, 400, 300}; // where the window manager should put it: frame's top-left, client size
    std::string type = {}; // "" for none, else the _NET_WM_WINDOW_TYPE_ suffix: "NORMAL", "DOCK", ...
    std::optional<double> opacity = {};        // 0 to 1, as _NET_WM_WINDOW_OPACITY
    bool acceptsFocus = true;                  // WM_HINTS input
    std::optional<unsigned long> desktop = {}; // _NET_WM_DESKTOP asked for at mapping; 0xFFFFFFFF for all
};

inline WindowSpec windowAt(double x, double y, double width = 400, double height = 300) {
    return WindowSpec{.frame = {x, y, width, height}};
}

// One X connection standing for one application process: its windows carry its pid (_NET_WM_PID) and class
// (WM_CLASS). Closing it destroys its windows, exactly as when a process exits. Use it from one thread.
class TestClient {
  public:
    // By default a made-up pid above the kernel's limit, so that it is never this process (whose windows
    // the window code leaves out) nor any other live process.
    explicit TestClient(std::string appClass = "TestApp", std::optional<std::int32_t> pid = std::nullopt,
                        const std::string& display = {})
        : pid_(pid ? *pid : nextPid_++), appClass_(std::move(appClass)) {
        connection_ = XOpenDisplay(display.empty() ? nullptr : display.c_str());
        if (!connection_) throw std::runtime_error("cannot open the test display");
    }
    ~TestClient() { terminate(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    std::int32_t pid() const { return pid_; }
    Display* connection() const { return connection_; }
    Window root() const { return DefaultRootWindow(connection_); }

    // Creates and maps a window, and returns once the window manager manages it.
    Window createWindow(const WindowSpec& wanted) {
        static const unsigned long colours[] = {0x3b82f6, 0xef4444, 0x22c55e, 0xf59e0b, 0x8b5cf6, 0x14b8a6};
        static std::size_t colour = 0;
        Display* d = connection_;
        XSetWindowAttributes attributes{};
        attributes.background_pixel = colours[colour++ % std::size(colours)];
        const Rect& f = wanted.frame;
        Window window = XCreateWindow(d, root(), int(f.x), int(f.y), unsigned(f.width), unsigned(f.height), 0,
                                      CopyFromParent, InputOutput, CopyFromParent, CWBackPixel, &attributes);
        XSizeHints size{};
        size.flags = USPosition | USSize | PWinGravity;
        size.x = int(f.x), size.y = int(f.y), size.width = int(f.width), size.height = int(f.height);
        size.win_gravity = NorthWestGravity;
        XSetWMNormalHints(d, window, &size);
        XWMHints hints{};
        hints.flags = InputHint | StateHint;
        hints.input = wanted.acceptsFocus ? True : False;
        hints.initial_state = NormalState;
        XSetWMHints(d, window, &hints);
        std::string name = "orvane-test", cls = appClass_;
        XClassHint classHint{name.data(), cls.data()};
        XSetClassHint(d, window, &classHint);

        setProperty(window, "_NET_WM_PID", XA_CARDINAL, {pid_});
        if (!wanted.type.empty())
            setProperty(window, "_NET_WM_WINDOW_TYPE", XA_ATOM,
                        {long(atom("_NET_WM_WINDOW_TYPE_" + wanted.type))});
        if (wanted.opacity)
            setProperty(window, "_NET_WM_WINDOW_OPACITY", XA_CARDINAL, {long(*wanted.opacity * 0xFFFFFFFFu)});
        if (wanted.desktop) setProperty(window, "_NET_WM_DESKTOP", XA_CARDINAL, {long(*wanted.desktop)});
        // Managed: in the client list with its frame extents set (by window managers that set them), and shown
        // unless on another desktop.
        auto listed = [&] {
            auto clients = property(root(), "_NET_CLIENT_LIST", XA_WINDOW);
            return std::count(clients.begin(), clients.end(), window) > 0;
        };
        const bool extents = supported("_NET_FRAME_EXTENTS");
        auto managed = [&] {
            XWindowAttributes a;
            return listed() && (!extents || !property(window, "_NET_FRAME_EXTENTS", XA_CARDINAL).empty()) &&
                   (wanted.desktop || (XGetWindowAttributes(d, window, &a) && a.map_state == IsViewable));
        };
        // The first map request after the window manager has announced itself is sometimes lost while it
        // finishes starting (openbox under load): ask again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!listed()) {
                XMapWindow(d, window);
                XSync(d, False);
            }
            if (waitUntil(managed, 1.0)) return window;
        }
        throw std::runtime_error("the window manager did not take the test window");
    }

    // Moves the window's frame so that its top-left lands at (x, y).
    void moveWindow(Window window, double x, double y) {
        XMoveWindow(connection_, window, int(x), int(y));
        XSync(connection_, False);
        waitUntil([&] {
            auto f = frame(window);
            return f && f->x == x && f->y == y;
        });
    }
    void minimise(Window window) {
        XIconifyWindow(connection_, window, DefaultScreen(connection_));
        XSync(connection_, False);
        waitUntil([&] {
            auto states = property(window, "_NET_WM_STATE", XA_ATOM);
            return std::count(states.begin(), states.end(), atom("_NET_WM_STATE_HIDDEN")) > 0;
        });
    }
    void destroyWindow(Window window) {
        XDestroyWindow(connection_, window);
        XSync(connection_, False);
    }

    // Asks the window manager to activate the window, as a pager or a user's click would, and waits until it
    // is the active window. False when it did not become active.
    bool activate(Window window) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = atom("_NET_ACTIVE_WINDOW");
        event.xclient.format = 32;
        event.xclient.data.l[0] = 2; // from a pager
        XSendEvent(connection_, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XSync(connection_, False);
        return waitUntil([&] { return activeWindow() == window; });
    }
    // The window manager's active window, 0 when none.
    Window activeWindow() {
        auto value = property(root(), "_NET_ACTIVE_WINDOW", XA_WINDOW);
        return value.empty() ? 0 : value[0];
    }

    // The window's frame (client area and decorations) in root coordinates.
    std::optional<Rect> frame(Window window) {
        int x = 0, y = 0;
        Window child;
        XWindowAttributes a;
        if (!XGetWindowAttributes(connection_, window, &a)) return std::nullopt;
        XTranslateCoordinates(connection_, window, root(), 0, 0, &x, &y, &child);
        auto e = property(window, "_NET_FRAME_EXTENTS", XA_CARDINAL); // left, right, top, bottom
        if (e.size() != 4) e.assign(4, 0);
        return Rect{double(x - long(e[0])), double(y - long(e[2])), double(a.width + e[0] + e[1]),
                    double(a.height + e[2] + e[3])};
    }

    // The pointer in root coordinates, and a warp (which makes no input events).
    Point pointer() {
        Window rootReturn, child;
        int x = 0, y = 0, wx, wy;
        unsigned mask;
        XQueryPointer(connection_, root(), &rootReturn, &child, &x, &y, &wx, &wy, &mask);
        return {double(x), double(y)};
    }
    void warpPointer(Point p) {
        XWarpPointer(connection_, None, root(), 0, 0, 0, 0, int(p.x), int(p.y));
        XSync(connection_, False);
    }

    // Ends the connection at once, as when the process exits: the server destroys all its windows.
    void terminate() {
        if (connection_) XCloseDisplay(connection_);
        connection_ = nullptr;
    }

    Atom atom(const std::string& name) { return XInternAtom(connection_, name.c_str(), False); }
    // The window manager announces the hint in _NET_SUPPORTED (i3 sets no frame extents, for one).
    bool supported(const std::string& name) {
        auto hints = property(root(), "_NET_SUPPORTED", XA_ATOM);
        return std::count(hints.begin(), hints.end(), atom(name)) > 0;
    }

    // A 32-bit property's values; empty when it is not set.
    std::vector<unsigned long> property(Window window, const std::string& name, Atom type) {
        Atom actual;
        int format;
        unsigned long count = 0, after;
        unsigned char* data = nullptr;
        std::vector<unsigned long> values;
        if (XGetWindowProperty(connection_, window, atom(name), 0, 4096, False, type, &actual, &format,
                               &count, &after, &data) == Success &&
            data && format == 32)
            values.assign(reinterpret_cast<unsigned long*>(data),
                          reinterpret_cast<unsigned long*>(data) + count);
        if (data) XFree(data);
        return values;
    }
    void setProperty(Window window, const std::string& name, Atom type, std::vector<long> values) {
        XChangeProperty(connection_, window, atom(name), type, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(values.data()), int(values.size()));
        XSync(connection_, False);
    }

  private:
    static inline std::int32_t nextPid_ = 5'000'000;
    std::int32_t pid_;
    std::string appClass_;
    Display* connection_ = nullptr;
};

} // namespace orvane::test
