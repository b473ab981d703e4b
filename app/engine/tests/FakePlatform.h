#pragma once

// Fakes of the platform seams for engine tests in virtual time: settable answers, recorded calls.
// Single-threaded: the tests drive them from the thread that runs the manual queues.

#include "VirtualTime.h"
#include "engine/Platform.h"

#include <algorithm>
#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace orvane::test {

class FakeFaceDetector : public FaceDetector {
  public:
    // The answer of every detect(); absent means a failed detection.
    std::optional<std::vector<DetectedFace>> faces = std::vector<DetectedFace>{};
    // Runs inside detect(), before it answers (for example to let virtual time pass).
    std::function<void()> whileDetecting;

    int detectCalls = 0;
    int resetCalls = 0;
    FrameView lastFrame;

    std::optional<std::vector<DetectedFace>> detect(const FrameView& frame) override {
        ++detectCalls;
        lastFrame = frame;
        if (whileDetecting) whileDetecting();
        return faces;
    }
    void reset() override { ++resetCalls; }

    // A square box around the given centre (detector coordinates: y up).
    static DetectedFace face(double centerX, double centerY, double width, std::optional<double> yaw = 0.0,
                             std::optional<double> pitch = 0.0, std::optional<double> roll = 0.0,
                             double confidence = 0.9) {
        return {centerX - width / 2, centerY - width / 2, width, width, yaw, pitch, roll, confidence};
    }
    // One face, or none at all.
    void showFace(const DetectedFace& face) { faces = std::vector<DetectedFace>{face}; }
    void showNoFace() { faces = std::vector<DetectedFace>{}; }
};

class FakeInputSource : public InputSource {
  public:
    static constexpr double never = std::numeric_limits<double>::infinity();

    // Seconds since the last event of each kind; unlisted kinds were never seen.
    std::map<InputEvent, double> secondsSince;
    bool leftButton = false;
    bool rightButton = false;
    std::uint32_t modifiers = 0;

    int queries = 0;

    double secondsSinceLast(InputEvent event) override {
        ++queries;
        auto found = secondsSince.find(event);
        return found == secondsSince.end() ? never : found->second;
    }
    bool buttonDown(int button) override {
        ++queries;
        return button == 0 ? leftButton : button == 1 ? rightButton : false;
    }
    std::uint32_t modifierFlags() override {
        ++queries;
        return modifiers;
    }

    // Delivers a global mouse-down as the platform would.
    void mouseDown(Point location, double uptime) {
        if (onMouseDown) onMouseDown(location, uptime);
    }
};

class FakeSession : public Session {
  public:
    std::optional<bool> locked = false;
    std::optional<bool> console = true;
    std::optional<std::vector<bool>> asleep = std::vector<bool>{false, false};

    int queries = 0;

    std::optional<bool> screenLocked() override {
        ++queries;
        return locked;
    }
    std::optional<bool> onConsole() override {
        ++queries;
        return console;
    }
    std::optional<std::vector<bool>> displaysAsleep() override {
        ++queries;
        return asleep;
    }

    // Delivers a session notification as the platform would.
    void send(SessionEvent event) {
        if (onEvent) onEvent(event);
    }
};

class FakeHotKeys : public HotKeys {
  public:
    // Whether the platform grants the next registration.
    bool grant = true;

    int registrations = 0;
    int unregistrations = 0;
    std::function<void()> handler; // the registered handler, empty when none

    bool registerHotKey(std::function<void()> pressed) override {
        ++registrations;
        if (!grant) return false;
        handler = std::move(pressed);
        return true;
    }
    void unregisterHotKey() override {
        ++unregistrations;
        handler = nullptr;
    }

    bool isRegistered() const { return bool(handler); }
    // The user presses the key: the handler runs as the platform would run it.
    void press() {
        if (handler) handler();
    }
};

class FakeCamera : public Camera {
  public:
    // Frames are handled on a manual queue of the test's scheduler.
    explicit FakeCamera(ManualScheduler& scheduler) : scheduler_(scheduler), frames_(scheduler) {}

    std::vector<CameraInfo> cameras;
    // When set, each start and stop reports the new state through this queue, as the camera
    // service does; otherwise the test calls onStateChange itself.
    MainQueue* reports = nullptr;
    // The frame every delivery hands over.
    FrameView frame{640, 360};

    std::vector<std::optional<std::string>> starts; // the preferred ID of each start
    int stops = 0;
    bool capturing = false;
    std::optional<std::string> active;

    std::vector<CameraInfo> availableCameras() override { return cameras; }

    std::optional<CameraInfo> resolveCamera(const std::optional<std::string>& preferredID) override {
        auto found = std::find_if(cameras.begin(), cameras.end(), [&](const CameraInfo& camera) {
            return preferredID && camera.id == *preferredID;
        });
        if (found == cameras.end())
            found =
                std::find_if(cameras.begin(), cameras.end(), [](const CameraInfo& c) { return c.isBuiltIn; });
        if (found == cameras.end()) found = cameras.begin();
        if (found == cameras.end()) return std::nullopt;
        return *found;
    }

    // Without any camera the start fails and reports "not running".
    void start(const std::optional<std::string>& preferredID) override {
        starts.push_back(preferredID);
        auto camera = resolveCamera(preferredID);
        active = camera ? std::optional(camera->id) : std::nullopt;
        capturing = camera.has_value();
        report(capturing);
    }
    void stop() override {
        ++stops;
        active.reset();
        capturing = false;
        report(false);
    }
    std::optional<std::string> activeCameraID() const override { return active; }
    TaskQueue& frameQueue() override { return frames_; }

    // Queues one frame at the current uptime; a camera that is not capturing delivers nothing.
    void deliverFrame() {
        if (!capturing) return;
        frames_.post([this, time = scheduler_.clock().uptime()] {
            if (onFrame) onFrame(frame, time);
        });
    }

  private:
    void report(bool running) {
        if (!reports) return;
        reports->post([this, running] {
            if (onStateChange) onStateChange(running);
        });
    }

    ManualScheduler& scheduler_;
    ManualQueue frames_;
};

class FakeDisplays : public Displays {
  public:
    std::vector<DisplayInfo> list;

    std::vector<DisplayInfo> current() override { return list; }

    // The arrangement changes as the platform would announce it.
    void change(std::vector<DisplayInfo> next) {
        list = std::move(next);
        change();
    }
    void change() {
        if (onChange) onChange();
    }
};

class FakeWindowFocus : public WindowFocus {
  public:
    struct Switch {
        DisplayInfo display;
        std::vector<DisplayInfo> displays;
        bool movePointer = false;
        std::function<void(FocusOutcome)> completion; // empty once called
    };

    // What every focus move reports.
    FocusOutcome outcome{FocusMethod::windowManager, true, "-"};
    // False keeps completions for completeSwitch(), so that time can pass during the move.
    bool completeAtOnce = true;
    double warp = 0;

    int starts = 0;
    std::vector<std::vector<DisplayInfo>> displayUpdates;
    std::vector<Switch> switches;

    void start() override { ++starts; }
    void updateDisplays(std::vector<DisplayInfo> displays) override {
        displayUpdates.push_back(std::move(displays));
    }
    void switchTo(DisplayInfo display, std::vector<DisplayInfo> displays, bool movePointer,
                  std::function<void(FocusOutcome)> completion) override {
        switches.push_back({std::move(display), std::move(displays), movePointer, std::move(completion)});
        if (completeAtOnce) completeSwitch();
    }
    double lastWarp() const override { return warp; }

    // Completes the latest focus move with `outcome`.
    void completeSwitch() {
        if (switches.empty() || !switches.back().completion) return;
        auto completion = std::move(switches.back().completion);
        switches.back().completion = nullptr;
        completion(outcome);
    }
    // The UUIDs of the displays focus was moved to, in order.
    std::vector<std::string> targets() const {
        std::vector<std::string> ids;
        for (const auto& s : switches)
            ids.push_back(s.display.uuid);
        return ids;
    }
    // Keyboard focus reached a display, as the window tracker reports it.
    void focusedDisplay(const std::string& screenID) {
        if (onFocusedDisplayChange) onFocusedDisplayChange(screenID);
    }
};

class FakePermissions : public Permissions {
  public:
    CameraAuthorization cameraStatus = CameraAuthorization::authorized;
    bool trusted = true;

    int cameraReads = 0;
    std::vector<std::function<void()>> requests; // the pending camera requests' answers

    CameraAuthorization camera() override {
        ++cameraReads;
        return cameraStatus;
    }
    bool windowControl() override { return trusted; }
    void requestCamera(std::function<void()> done) override { requests.push_back(std::move(done)); }
};

class FakeAppWindows : public AppWindows {
  public:
    bool ownKey = false;

    bool ownWindowIsKey() override { return ownKey; }

    // One of our windows became or stopped being the key window.
    void setOwnKey(bool key) {
        ownKey = key;
        if (onChange) onChange();
    }
};

} // namespace orvane::test
