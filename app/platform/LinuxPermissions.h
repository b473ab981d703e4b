#pragma once

#include "engine/Platform.h"

#include <filesystem>
#include <functional>

namespace orvane {

// Camera access on Linux is the device nodes' file permissions (usually the `video` group): authorised
// when a capture node opens or none exists, denied when nodes exist and every one refuses the user.
// Nothing is ever "not determined": there is no prompt to ask.
CameraAuthorization cameraAuthorization(const std::filesystem::path& devRoot = "/dev");

// The permissions the engine asks about. Window control is the window thread's check, handed in.
class LinuxPermissions : public Permissions {
  public:
    explicit LinuxPermissions(std::function<bool()> windowControl, std::filesystem::path devRoot = "/dev")
        : windowControl_(std::move(windowControl)), devRoot_(std::move(devRoot)) {}

    CameraAuthorization camera() override { return cameraAuthorization(devRoot_); }
    bool windowControl() override { return windowControl_ && windowControl_(); }
    // Nothing can be asked for: access is granted by group membership. Reports back at once.
    void requestCamera(std::function<void()> done) override {
        if (done) done();
    }

  private:
    std::function<bool()> windowControl_;
    std::filesystem::path devRoot_;
};

} // namespace orvane
