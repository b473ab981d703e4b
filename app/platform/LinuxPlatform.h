#pragma once

#include "engine/Clock.h"
#include "engine/Engine.h"
#include "engine/Log.h"
#include "engine/Paths.h"
#include "engine/SerialQueue.h"
#include "platform/Autostart.h"
#include "platform/CameraService.h"
#include "platform/Displays.h"
#include "platform/FaceDetector.h"
#include "platform/HotKeys.h"
#include "platform/InputMonitor.h"
#include "platform/LinuxPermissions.h"
#include "platform/QtDefaultsStore.h"
#include "platform/SessionMonitor.h"
#include "platform/X11Thread.h"
#include "platform/X11WindowFocus.h"

#include <memory>

namespace orvane {

// Every desktop service the program runs on, on Linux: built in an order where each finds what it uses,
// and torn down in the reverse order (the camera's frame queue before the face model it calls, the window
// code before the X11 thread it runs on). Create on the main thread, with its Qt event loop.
class LinuxPlatform {
  public:
    LinuxPlatform(MainQueue& main, AppWindows& appWindows, const Paths& paths);
    LinuxPlatform(const LinuxPlatform&) = delete;
    LinuxPlatform& operator=(const LinuxPlatform&) = delete;

    EngineServices engineServices();
    HotKeys& hotKeys() { return hotKeys_; }
    Autostart& autostart() { return autostart_; }
    Log& log() { return log_; }

  private:
    StderrLog log_;
    SystemClock clock_;
    MainQueue& main_;
    AppWindows& appWindows_;
    Paths paths_;
    QtDefaultsStore defaults_;
    XdgAutostart autostart_;
    SerialQueue training_{"orvane.training", QueuePriority::utility};
    BlazeFaceDetector faceDetector_;
    X11Thread x11_;
    X11Displays displays_;
    X11WindowFocus windows_;
    X11InputSource input_;
    X11HotKeys hotKeys_;
    std::unique_ptr<LinuxSession> session_;
    LinuxPermissions permissions_;
    CameraService camera_;
};

} // namespace orvane
