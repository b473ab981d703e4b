#pragma once

#include "engine/Log.h"
#include "engine/Platform.h"

#include <filesystem>

namespace orvane {

// Launch at login through the XDG autostart folder: `autostart/orvane.desktop` in the user's
// configuration folder. A file that the desktop's own settings disabled with Hidden=true does not
// count as registered; registering again replaces it.
class XdgAutostart : public Autostart {
  public:
    // configHome: $XDG_CONFIG_HOME (Paths::configHome); program: the absolute path started at login.
    XdgAutostart(std::filesystem::path configHome, std::filesystem::path program, Log& log);

    // The running program's own executable, empty when it cannot be read.
    static std::filesystem::path currentProgram();

    bool isRegistered() override;
    // Writes the entry whole (a crash leaves the old file or the new one) or removes it.
    bool setRegistered(bool registered) override;

    std::filesystem::path file() const { return folder_ / "orvane.desktop"; }

  private:
    bool write();
    bool remove();

    std::filesystem::path folder_;
    std::filesystem::path program_;
    Logger logger_;
};

// The Exec value that starts exactly this program: quoted, with the characters the desktop entry
// format reserves escaped. Absent when the path cannot be written in one line.
std::optional<std::string> desktopExecValue(const std::filesystem::path& program);

} // namespace orvane
