#include "platform/LinuxPlatform.h"

#include "platform/WindowControl.h"

namespace orvane {

LinuxPlatform::LinuxPlatform(MainQueue& main, AppWindows& appWindows, const Paths& paths)
    : main_(main), appWindows_(appWindows), paths_(paths), defaults_(paths.defaultsFile()),
      autostart_(paths.configHome, XdgAutostart::currentProgram(), log_), faceDetector_(log_),
      displays_(x11_, main), windows_(x11_, log_, clock_), input_(x11_, main, clock_), hotKeys_(x11_, log_),
      session_(LinuxSession::forThisSession(log_)),
      permissions_([this] { return windowControlAvailable(x11_); }), camera_(main, log_) {}

EngineServices LinuxPlatform::engineServices() {
    return EngineServices{clock_,      main_,     training_, camera_,           faceDetector_,
                          displays_,   windows_,  input_,    *session_,         permissions_,
                          appWindows_, defaults_, log_,      paths_.profiles(), paths_.logs()};
}

} // namespace orvane
