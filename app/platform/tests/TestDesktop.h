#pragma once

// A virtual desktop for tests (scripts/test-desktop: Xvfb with two RandR monitors, openbox, trayer,
// private D-Bus buses) and small real X client windows on it.

#include "engine/DisplayInfo.h"

// clang-format off
// Before Xlib, whose macro None would break GoogleTest's own None.
#include <gtest/gtest.h>
// clang-format on

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#ifndef ORVANE_SOURCE_DIR
#error "ORVANE_SOURCE_DIR must name the source folder (for scripts/test-desktop)"
#endif

namespace orvane::test {

struct DesktopOptions {
    std::string layout = "side-by-side"; // or "stacked", "mixed"
    bool sessionBus = false;
    bool systemBus = false;
};

// One desktop of scripts/test-desktop: started by the constructor, stopped by the destructor (and by the
// script itself should this process die first).
class TestDesktop {
  public:
    explicit TestDesktop(const DesktopOptions& options = {}) {
        std::string command = std::string(ORVANE_SOURCE_DIR) + "/scripts/test-desktop start --layout " +
                              options.layout + " --owner " + std::to_string(getpid());
        if (options.sessionBus) command += " --dbus";
        if (options.systemBus) command += " --system-bus";
        std::string text;
        int status = runCapturing(command, text);
        if (status != 0) throw std::runtime_error("test-desktop did not start: " + text);
        for (std::size_t start = 0; start < text.size();) {
            std::size_t end = text.find('\n', start);
            if (end == std::string::npos) end = text.size();
            std::string line = text.substr(start, end - start);
            start = end + 1;
            const std::string prefix = "export ";
            auto equals = line.find('=');
            if (line.rfind(prefix, 0) != 0 || equals == std::string::npos) continue;
            variables_[line.substr(prefix.size(), equals - prefix.size())] = unquote(line.substr(equals + 1));
        }
        if (variable("DISPLAY").empty() || variable("ORVANE_TEST_DESKTOP").empty())
            throw std::runtime_error("test-desktop printed no display: " + text);
    }

    ~TestDesktop() { std::system(("'" ORVANE_SOURCE_DIR "/scripts/test-desktop' stop " + id()).c_str()); }

    TestDesktop(const TestDesktop&) = delete;
    TestDesktop& operator=(const TestDesktop&) = delete;

    // The desktop shared by the tests of this process (side by side, with a session and a system bus),
    // started on first use and stopped at exit. DISPLAY and the bus addresses of the process point at it,
    // so that code opening "the" display or bus finds this one.
    static TestDesktop& shared() {
        static std::unique_ptr<TestDesktop> desktop = [] {
            auto started =
                std::make_unique<TestDesktop>(DesktopOptions{.sessionBus = true, .systemBus = true});
            for (const auto& [name, value] : started->variables_)
                setenv(name.c_str(), value.c_str(), 1);
            return started;
        }();
        return *desktop;
    }

    const std::string& display() const { return variables_.at("DISPLAY"); }
    const std::string& id() const { return variables_.at("ORVANE_TEST_DESKTOP"); }
    // An exported variable, empty when the script did not export it.
    std::string variable(const std::string& name) const {
        auto found = variables_.find(name);
        return found == variables_.end() ? std::string() : found->second;
    }

    // Runs a shell command against this desktop (its variables set); returns the exit status.
    int run(const std::string& command) const {
        std::string ignored;
        return runCapturing(environment() + command, ignored);
    }
    // The command's standard output.
    std::string output(const std::string& command) const {
        std::string text;
        runCapturing(environment() + command, text);
        return text;
    }

    // Replaces a monitor (deleting it first, as RandR wants); geometry in pixels.
    void setMonitor(const std::string& name, const Rect& bounds, const std::string& output = "none") const {
        run("xrandr --delmonitor " + name + " >/dev/null 2>&1");
        auto px = [](double v) { return std::to_string(static_cast<long>(v)); };
        // Physical size at 96 dots per inch.
        auto mm = [](double v) { return std::to_string(static_cast<long>(v * 25.4 / 96)); };
        run("xrandr --setmonitor " + name + " " + px(bounds.width) + "/" + mm(bounds.width) + "x" +
            px(bounds.height) + "/" + mm(bounds.height) + "+" + px(bounds.x) + "+" + px(bounds.y) + " " +
            output + " >/dev/null");
    }
    void removeMonitor(const std::string& name) const { run("xrandr --delmonitor " + name + " >/dev/null"); }

    // A screenshot of the whole desktop as PNG.
    bool screenshot(const std::string& file) const { return run("import -window root '" + file + "'") == 0; }

  private:
    static int runCapturing(const std::string& command, std::string& text) {
        FILE* pipe = popen(command.c_str(), "r");
        if (!pipe) return -1;
        char buffer[512];
        std::size_t n;
        while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0)
            text.append(buffer, n);
        int status = pclose(pipe);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    // Undoes bash's printf %q for the simple values the script prints.
    static std::string unquote(const std::string& value) {
        std::string plain;
        for (std::size_t i = 0; i < value.size(); ++i) {
            if (value[i] == '\\' && i + 1 < value.size()) ++i;
            plain += value[i];
        }
        return plain;
    }

    std::string environment() const {
        std::string prefix;
        for (const auto& [name, value] : variables_)
            prefix += name + "='" + value + "' ";
        return prefix;
    }

    std::map<std::string, std::string> variables_;
};

// Waits up to `seconds` for the condition, checking every millisecond.
inline bool waitUntil(const std::function<bool()>& condition, double seconds = 3.0) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// How a test window should look to the window manager and to window lists.
struct WindowSpec {
    Rect frame{100, 100, 400, 300}; // where the window manager should put it: frame's top-left, client size
    std::string type = {}; // "" for none, else the _NET_WM_WINDOW_TYPE_ suffix: "NORMAL", "DOCK", ...
    std::optional<double> opacity = {}; // 0 to 1, as _NET_WM_WINDOW_OPACITY
    bool minimised = false;
    bool acceptsFocus = true;                  // WM_HINTS input
    std::optional<unsigned long> desktop = {}; // _NET_WM_DESKTOP asked for at mapping; 0xFFFFFFFF for all
    std::string title = "test window";
};

// One X connection standing for one application process: its windows carry its pid (_NET_WM_PID) and class
// (WM_CLASS). Closing it destroys its windows, exactly as when a process exits. Use it from one thread.
class TestClient {
  public:
    // By default a made-up pid above the kernel's limit, so that it is never this process (whose windows
    // the window code leaves out) nor any other live process.
    explicit TestClient(std::string appClass = "TestApp", std::optional<std::int32_t> pid = std::nullopt,
                        const std::string& display = {})
        : pid_(pid ? *pid : nextPid()), appClass_(std::move(appClass)) {
        connection_ = XOpenDisplay(display.empty() ? nullptr : display.c_str());
        if (!connection_) throw std::runtime_error("cannot open the test display");
    }
    ~TestClient() { terminate(); }
    TestClient(const TestClient&) = delete;
    TestClient& operator=(const TestClient&) = delete;

    std::int32_t pid() const { return pid_; }
    Display* connection() const { return connection_; }
    Window root() const { return DefaultRootWindow(connection_); }

    // Creates and maps a window, and returns once the window manager manages it (shown, or minimised).
    Window createWindow(const WindowSpec& spec) {
        Display* d = connection_;
        XSetWindowAttributes attributes{};
        attributes.background_pixel = nextColour();
        attributes.event_mask = StructureNotifyMask | PropertyChangeMask | FocusChangeMask;
        Window window =
            XCreateWindow(d, root(), int(spec.frame.x), int(spec.frame.y), unsigned(spec.frame.width),
                          unsigned(spec.frame.height), 0, CopyFromParent, InputOutput, CopyFromParent,
                          CWBackPixel | CWEventMask, &attributes);
        XStoreName(d, window, spec.title.c_str());

        XSizeHints size{};
        size.flags = USPosition | USSize | PWinGravity;
        size.x = int(spec.frame.x), size.y = int(spec.frame.y);
        size.width = int(spec.frame.width), size.height = int(spec.frame.height);
        size.win_gravity = NorthWestGravity;
        XSetWMNormalHints(d, window, &size);

        XWMHints hints{};
        hints.flags = InputHint | StateHint;
        hints.input = spec.acceptsFocus ? True : False;
        hints.initial_state = spec.minimised ? IconicState : NormalState;
        XSetWMHints(d, window, &hints);

        std::string name = "orvane-test", cls = appClass_;
        XClassHint classHint{name.data(), cls.data()};
        XSetClassHint(d, window, &classHint);

        long pid = pid_;
        XChangeProperty(d, window, atom("_NET_WM_PID"), XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<unsigned char*>(&pid), 1);
        if (!spec.type.empty()) {
            Atom type = atom("_NET_WM_WINDOW_TYPE_" + spec.type);
            XChangeProperty(d, window, atom("_NET_WM_WINDOW_TYPE"), XA_ATOM, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&type), 1);
        }
        if (spec.opacity) {
            unsigned long value = static_cast<unsigned long>(*spec.opacity * 0xFFFFFFFFu);
            XChangeProperty(d, window, atom("_NET_WM_WINDOW_OPACITY"), XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&value), 1);
        }
        if (spec.desktop) {
            long desktop = static_cast<long>(*spec.desktop);
            XChangeProperty(d, window, atom("_NET_WM_DESKTOP"), XA_CARDINAL, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&desktop), 1);
        }
        XMapWindow(d, window);
        XSync(d, False);
        // Shown at once unless minimised or placed on another desktop.
        bool shown = !spec.minimised && !spec.desktop;
        if (!waitUntil([&] { return managed(window, shown); }))
            throw std::runtime_error("the window manager did not take the test window");
        return window;
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
        waitUntil([&] { return hasState(window, "_NET_WM_STATE_HIDDEN"); });
    }

    void destroyWindow(Window window) {
        XDestroyWindow(connection_, window);
        XSync(connection_, False);
    }

    // Asks the window manager to activate the window, as a pager or a user's click would, and waits until it
    // is the active window. False when it did not become active.
    bool activate(Window window) {
        sendToRoot(window, "_NET_ACTIVE_WINDOW", {2, CurrentTime, 0});
        return waitUntil([&] { return activeWindow() == window; });
    }

    // The window manager's active window, 0 when none.
    Window activeWindow() {
        auto value = cardinal(root(), "_NET_ACTIVE_WINDOW", XA_WINDOW);
        return value ? static_cast<Window>(*value) : 0;
    }

    // The window's frame (client area and decorations) in root coordinates.
    std::optional<Rect> frame(Window window) {
        int x = 0, y = 0;
        Window child;
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(connection_, window, &attributes)) return std::nullopt;
        XTranslateCoordinates(connection_, window, root(), 0, 0, &x, &y, &child);
        long extents[4] = {0, 0, 0, 0}; // left, right, top, bottom
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(connection_, window, atom("_NET_FRAME_EXTENTS"), 0, 4, False, XA_CARDINAL,
                               &type, &format, &count, &after, &data) == Success &&
            data && count == 4)
            for (int i = 0; i < 4; ++i)
                extents[i] = reinterpret_cast<long*>(data)[i];
        if (data) XFree(data);
        return Rect{double(x - extents[0]), double(y - extents[2]),
                    double(attributes.width + extents[0] + extents[1]),
                    double(attributes.height + extents[2] + extents[3])};
    }

    // Ends the connection at once, as when the process exits: the server destroys all its windows.
    void terminate() {
        if (connection_) XCloseDisplay(connection_);
        connection_ = nullptr;
    }

    Atom atom(const std::string& name) { return XInternAtom(connection_, name.c_str(), False); }

    std::optional<unsigned long> cardinal(Window window, const std::string& property,
                                          Atom kind = XA_CARDINAL) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        std::optional<unsigned long> value;
        if (XGetWindowProperty(connection_, window, atom(property), 0, 1, False, kind, &type, &format, &count,
                               &after, &data) == Success &&
            data && count == 1)
            value = reinterpret_cast<unsigned long*>(data)[0];
        if (data) XFree(data);
        return value;
    }

    bool hasState(Window window, const std::string& state) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        bool found = false;
        if (XGetWindowProperty(connection_, window, atom("_NET_WM_STATE"), 0, 64, False, XA_ATOM, &type,
                               &format, &count, &after, &data) == Success &&
            data)
            for (unsigned long i = 0; i < count; ++i)
                found = found || reinterpret_cast<Atom*>(data)[i] == atom(state);
        if (data) XFree(data);
        return found;
    }

    void sendToRoot(Window window, const std::string& message, std::vector<long> data) {
        XEvent event{};
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = atom(message);
        event.xclient.format = 32;
        for (std::size_t i = 0; i < data.size() && i < 5; ++i)
            event.xclient.data.l[i] = data[i];
        XSendEvent(connection_, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &event);
        XSync(connection_, False);
    }

  private:
    // Managed: in the window manager's client list with its frame extents set, and shown when it should be.
    bool managed(Window window, bool shown) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        bool listed = false;
        if (XGetWindowProperty(connection_, root(), atom("_NET_CLIENT_LIST"), 0, 4096, False, XA_WINDOW,
                               &type, &format, &count, &after, &data) == Success &&
            data)
            for (unsigned long i = 0; i < count; ++i)
                listed = listed || reinterpret_cast<Window*>(data)[i] == window;
        if (data) XFree(data);
        if (!listed || !cardinal(window, "_NET_FRAME_EXTENTS")) return false;
        XWindowAttributes attributes;
        return !shown ||
               (XGetWindowAttributes(connection_, window, &attributes) && attributes.map_state == IsViewable);
    }

    static std::int32_t nextPid() {
        static std::int32_t next = 5'000'000;
        return next++;
    }
    static unsigned long nextColour() {
        static const unsigned long colours[] = {0x3b82f6, 0xef4444, 0x22c55e, 0xf59e0b, 0x8b5cf6, 0x14b8a6};
        static std::size_t next = 0;
        return colours[next++ % std::size(colours)];
    }

    std::int32_t pid_;
    std::string appClass_;
    Display* connection_ = nullptr;
};

} // namespace orvane::test
