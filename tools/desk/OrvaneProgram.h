#pragma once

// The orvane program as tests run it: started as a user starts it (its own home folders, a camera source
// of the test's), on a test desktop, its log read as it is written.

#include "TemporaryFolder.h"
#include "TestDesktop.h"

#include <X11/Xutil.h>
#include <csignal>
#include <cstdio>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace orvane::test {

inline std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text)
        quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// One run of the program on a desktop, with its own home folders; its standard error goes to a file.
class Program {
  public:
    Program(const TestDesktop& desktop, const TemporaryFolder& home, std::string camera)
        : desktop_(desktop), home_(home), camera_(std::move(camera)) {}
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }

    void start(const std::string& extra = "") {
        const std::string command = "exec env " + environment() + " " + extra + " " ORVANE_PROGRAM " 2>>" +
                                    shellQuoted((home_ / "stderr.log").string());
        pid_ = fork();
        if (pid_ == 0) {
            execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
            _exit(127);
        }
    }
    // Runs the program to its end with arguments; its exit status.
    int run(const std::string& arguments, std::string* output = nullptr,
            const std::string& extra = "") const {
        const std::string file = (home_ / "run.log").string();
        const int status = std::system(("env " + environment() + " " + extra + " " ORVANE_PROGRAM " " +
                                        arguments + " >" + shellQuoted(file) + " 2>&1")
                                           .c_str());
        if (output) *output = readFile(file);
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    // Sends a signal and waits for the exit; its status, or -1 when it did not end within 10 s.
    int stop(int signal = SIGTERM) {
        kill(pid_, signal);
        int status = 0;
        const bool ended = waitUntil([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }, 10.0);
        if (!ended) return -1;
        pid_ = 0;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    bool running() const { return pid_ > 0 && waitpid(pid_, nullptr, WNOHANG) == 0; }
    pid_t pid() const { return pid_; }
    std::string log() const { return readFile(home_ / "stderr.log"); }
    bool waitForLog(const std::string& text, double seconds = 10.0) const {
        return waitUntil([&] { return log().find(text) != std::string::npos; }, seconds);
    }

  private:
    std::string environment() const {
        std::string variables;
        for (const char* name : {"DISPLAY", "DBUS_SESSION_BUS_ADDRESS"})
            variables += std::string(name) + "=" + shellQuoted(desktop_.variable(name)) + " ";
        for (const auto& [name, folder] :
             std::vector<std::pair<std::string, std::string>>{{"HOME", "home"},
                                                              {"XDG_CONFIG_HOME", "config"},
                                                              {"XDG_DATA_HOME", "data"},
                                                              {"XDG_STATE_HOME", "state"},
                                                              {"XDG_RUNTIME_DIR", "runtime"}}) {
            std::filesystem::create_directories(home_ / folder);
            std::filesystem::permissions(home_ / folder, std::filesystem::perms::owner_all);
            variables += name + "=" + shellQuoted((home_ / folder).string()) + " ";
        }
        // The system bus may be this machine's: our tests need nothing of logind.
        return variables + "DBUS_SYSTEM_BUS_ADDRESS=disabled: ORVANE_CAMERA_SOURCE=" + shellQuoted(camera_);
    }

    const TestDesktop& desktop_;
    const TemporaryFolder& home_;
    std::string camera_;
    pid_t pid_ = 0;
};

inline // The window manager's window with this title (the program's windows are the only ones with theirs); 0
       // when none is managed, as when it was closed.
    Window
    managedWindow(const TestDesktop& desktop, const std::string& title) {
    TestClient client("Observer", std::nullopt, desktop.display());
    Window found = 0;
    for (unsigned long window : client.property(client.root(), "_NET_CLIENT_LIST", XA_WINDOW)) {
        char* name = nullptr;
        if (XFetchName(client.connection(), window, &name) && name && title == name) found = window;
        if (name) XFree(name);
    }
    return found;
}

inline std::vector<unsigned long> windowsOf(const TestDesktop& desktop, pid_t pid) {
    std::string out;
    FILE* pipe = popen(
        ("DISPLAY=" + desktop.display() + " xdotool search --pid " + std::to_string(pid) + " 2>/dev/null")
            .c_str(),
        "r");
    char buffer[256];
    while (pipe && fgets(buffer, sizeof buffer, pipe))
        out += buffer;
    if (pipe) pclose(pipe);
    std::vector<unsigned long> ids;
    std::istringstream lines(out);
    for (unsigned long id; lines >> id;)
        ids.push_back(id);
    return ids;
}

// Whether one of the program's windows sits inside the tray host's window (XEmbed docks it there).
inline bool dockedInTray(const TestDesktop& desktop, pid_t pid) {
    Display* x = XOpenDisplay(desktop.display().c_str());
    bool docked = false;
    for (unsigned long window : windowsOf(desktop, pid)) {
        for (Window w = window; w && !docked;) {
            Window root, parent, *children = nullptr;
            unsigned count = 0;
            if (!XQueryTree(x, w, &root, &parent, &children, &count)) break;
            if (children) XFree(children);
            XClassHint hint{};
            if (parent != root && XGetClassHint(x, parent, &hint)) {
                docked = hint.res_class && std::string(hint.res_class) == "trayer";
                XFree(hint.res_name), XFree(hint.res_class);
            }
            w = parent == root ? 0 : parent;
        }
    }
    XCloseDisplay(x);
    return docked;
}

} // namespace orvane::test
