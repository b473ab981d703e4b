#include "platform/Autostart.h"

#include <cstdio>
#include <fcntl.h>
#include <fstream>
#include <string_view>
#include <sys/stat.h>
#include <system_error>
#include <unistd.h>

namespace orvane {

namespace fs = std::filesystem;

namespace {

std::string trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return std::string(text.substr(first, last - first + 1));
}

// Hidden=true in the main group means "deleted" to every desktop that reads the folder.
bool isHidden(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    bool inMainGroup = false;
    while (std::getline(in, line)) {
        const std::string text = trimmed(line);
        if (text.starts_with('[')) {
            inMainGroup = text == "[Desktop Entry]";
            continue;
        }
        const auto equals = text.find('=');
        if (!inMainGroup || equals == std::string::npos) continue;
        if (trimmed(std::string_view(text).substr(0, equals)) == "Hidden")
            return trimmed(std::string_view(text).substr(equals + 1)) == "true";
    }
    return false;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0) return false;
        done += std::size_t(n);
    }
    return true;
}

} // namespace

std::optional<std::string> desktopExecValue(const fs::path& program) {
    const std::string path = program.string();
    if (!program.is_absolute()) return std::nullopt;
    std::string value = "\"";
    for (const char c : path) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return std::nullopt;
        // Inside quotes these four take a backslash; the string rules then double every backslash.
        if (c == '"' || c == '`' || c == '$') value += "\\\\";
        if (c == '\\') value += "\\\\\\";
        if (c == '%') value += '%'; // a field code otherwise
        value += c;
    }
    return value + "\"";
}

XdgAutostart::XdgAutostart(fs::path configHome, fs::path program, Log& log)
    : folder_(std::move(configHome) / "autostart"), program_(std::move(program)), logger_(log, "engine") {}

fs::path XdgAutostart::currentProgram() {
    std::error_code error;
    fs::path path = fs::read_symlink("/proc/self/exe", error);
    return error ? fs::path() : path;
}

bool XdgAutostart::isRegistered() {
    std::error_code error;
    return fs::is_regular_file(file(), error) && !isHidden(file());
}

bool XdgAutostart::setRegistered(bool registered) {
    return registered ? write() : remove();
}

bool XdgAutostart::write() {
    const auto exec = desktopExecValue(program_);
    if (!exec) {
        logger_.error("Cannot start at login: the program path \"" + program_.string() +
                      "\" cannot be written in a desktop entry");
        return false;
    }
    const std::string text = "[Desktop Entry]\n"
                             "Type=Application\n"
                             "Name=Orvane\n"
                             "Comment=Moves keyboard focus to the monitor you look at\n"
                             "Exec=" +
                             *exec +
                             "\n"
                             "Icon=org.orvane.Orvane\n"
                             "Terminal=false\n"
                             "X-GNOME-Autostart-enabled=true\n"
                             // After the panel that hosts the tray icon, where the desktop can tell.
                             "X-GNOME-Autostart-Delay=2\n"
                             "X-KDE-autostart-after=panel\n";

    std::error_code error;
    fs::create_directories(folder_, error);
    // Written beside the target and renamed over it, so a reader never sees half an entry.
    std::string temporary = (folder_ / ".orvane.desktop.XXXXXX").string();
    const int fd = error ? -1 : mkstemp(temporary.data());
    if (fd < 0) {
        logger_.error("Cannot start at login: cannot write in " + folder_.string());
        return false;
    }
    const bool written = writeAll(fd, text) && fchmod(fd, 0644) == 0 && fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temporary.c_str(), file().c_str()) != 0) {
        ::unlink(temporary.c_str());
        logger_.error("Cannot start at login: cannot write " + file().string());
        return false;
    }
    return true;
}

bool XdgAutostart::remove() {
    std::error_code error;
    fs::remove(file(), error);
    if (error) logger_.error("Cannot stop starting at login: cannot remove " + file().string());
    return !error;
}

} // namespace orvane
