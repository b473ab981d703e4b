#pragma once

// Fakes of the platform seams for engine tests in virtual time: settable answers, recorded calls.
// Single-threaded: the tests drive them from the thread that runs the manual queues.

#include "engine/Platform.h"

#include <cstdint>
#include <functional>
#include <limits>
#include <map>
#include <optional>
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

} // namespace orvane::test
