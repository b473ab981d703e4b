#pragma once

// The desktop as the engine sees it: small interfaces implemented on Linux in app/platform
// and by fakes in the engine's tests.

#include "core/DateTime.h"
#include "engine/Clock.h"
#include "engine/DisplayInfo.h"
#include "engine/Log.h"
#include "engine/Queue.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace orvane {

// ---- Camera

// A read-only NV12 image, valid only during the call that hands it over.
struct FrameView {
    int width = 0;
    int height = 0;
    const std::uint8_t* y = nullptr; // luma plane, width x height
    int yStride = 0;
    const std::uint8_t* uv = nullptr; // interleaved chroma plane, width x height/2
    int uvStride = 0;
};

struct CameraInfo {
    std::string id; // stable across launches and re-plugging
    std::string name;
    bool isBuiltIn = false;
    bool operator==(const CameraInfo&) const = default;
};

class Camera {
public:
    virtual ~Camera() = default;
    virtual std::vector<CameraInfo> availableCameras() = 0;
    // The camera a start with this preference would open: the preferred one, else built-in, else the first.
    virtual std::optional<CameraInfo> resolveCamera(const std::optional<std::string>& preferredID) = 0;
    // Both return at once; the session work runs on the camera's own queue.
    virtual void start(const std::optional<std::string>& preferredID) = 0;
    virtual void stop() = 0;
    // The camera of the current session; readable from any thread.
    virtual std::optional<std::string> activeCameraID() const = 0;
    // Frames arrive here; the tracking pipeline runs on it too.
    virtual TaskQueue& frameQueue() = 0;
    // The least seconds between the frames the receiver analyses now (0, the initial value: every
    // frame). Sooner frames may be dropped before they cost anything. Any thread.
    virtual void setFrameInterval(double seconds) = 0;

    // Each delivered frame with its uptime, on frameQueue().
    std::function<void(const FrameView& frame, double time)> onFrame;
    // Whether capture runs, after each start and stop, on the main thread.
    std::function<void(bool running)> onStateChange;
};

// ---- Face detection

// One face as the detector reports it: a box normalised to the image with the origin at the
// bottom-left (y up), and head angles in radians when it has them.
struct DetectedFace {
    double x = 0, y = 0, width = 0, height = 0;
    std::optional<double> yaw, pitch, roll;
    double confidence = 0;

    double centerX() const { return x + width / 2; }
    double centerY() const { return y + height / 2; }
};

class FaceDetector {
public:
    virtual ~FaceDetector() = default;
    // The faces of one frame in the detector's order; absent when detection failed.
    virtual std::optional<std::vector<DetectedFace>> detect(const FrameView& frame) = 0;
    // Forget anything carried between frames (the pipeline resets when tracking resumes).
    virtual void reset() {}
};

// ---- Displays

class Displays {
public:
    virtual ~Displays() = default;
    // The attached displays, mirrors left out, sorted by left edge, then top edge.
    virtual std::vector<DisplayInfo> current() = 0;
    // The display arrangement changed; on the main thread.
    std::function<void()> onChange;
};

// ---- Window focus (runs on the window thread)

enum class FocusMethod { windowManager, inputFocus, pointerOnly };
std::string_view toString(FocusMethod method);

struct FocusOutcome {
    FocusMethod method = FocusMethod::pointerOnly;
    bool ok = false;
    std::string app; // the window's application class, "-" when unknown
    std::optional<Rect> frame; // the window's frame in global coordinates; absent when there was none
};

class WindowFocus {
public:
    virtual ~WindowFocus() = default;
    // Begin following keyboard focus; repeated calls do nothing.
    virtual void start() = 0;
    virtual void updateDisplays(std::vector<DisplayInfo> displays) = 0;
    // On the window thread: the best window on the display gets focus (and the pointer when asked);
    // the completion runs once, on that thread.
    virtual void switchTo(DisplayInfo display, std::vector<DisplayInfo> displays, bool movePointer,
                          std::function<void(FocusOutcome)> completion) = 0;
    // Uptime of the program's own last pointer warp, 0 when none; readable from any thread.
    virtual double lastWarp() const = 0;
    // Keyboard focus reached another display (by any means); may be called from any thread.
    std::function<void(const std::string& screenID)> onFocusedDisplayChange;
};

// ---- Input

enum class InputEvent { keyDown, mouseMoved, leftMouseDown, rightMouseDown, otherMouseDown, leftMouseDragged,
                        rightMouseDragged, scrollWheel };

namespace modifier {
inline constexpr std::uint32_t shift = 1u << 0;
inline constexpr std::uint32_t control = 1u << 1;
inline constexpr std::uint32_t alt = 1u << 2;
inline constexpr std::uint32_t super = 1u << 3;
inline constexpr std::uint32_t capsLock = 1u << 4;
inline constexpr std::uint32_t numLock = 1u << 5;
} // namespace modifier

class InputSource {
public:
    virtual ~InputSource() = default;
    // Seconds since the last event of that kind; +infinity when none was seen. Any thread.
    virtual double secondsSinceLast(InputEvent event) = 0;
    // Button 0 is the left button, 1 the right one.
    virtual bool buttonDown(int button) = 0;
    virtual std::uint32_t modifierFlags() = 0;
    // A left or right mouse-down in another program's window, in global coordinates, with its uptime.
    std::function<void(Point location, double uptime)> onMouseDown;
};

// Registers the global pause hot key; the handler may run on any thread.
class HotKeys {
public:
    virtual ~HotKeys() = default;
    virtual bool registerHotKey(std::function<void()> pressed) = 0;
    virtual void unregisterHotKey() = 0;
};

// ---- Session

enum class SessionEvent { screensDidSleep, screensDidWake, sessionDidResignActive, sessionDidBecomeActive,
                          willSleep, didWake, screenLocked, screenUnlocked };

class Session {
public:
    virtual ~Session() = default;
    // Each absent when the platform cannot tell; the monitor then takes the permissive answer.
    virtual std::optional<bool> screenLocked() = 0;
    virtual std::optional<bool> onConsole() = 0;
    // One flag per online display; absent when the list cannot be read.
    virtual std::optional<std::vector<bool>> displaysAsleep() = 0;
    // On the main thread.
    std::function<void(SessionEvent)> onEvent;
};

// ---- Permissions

enum class CameraAuthorization { notDetermined, restricted, denied, authorized };

class Permissions {
public:
    virtual ~Permissions() = default;
    virtual CameraAuthorization camera() = 0;
    // Other programs' windows can be focused (an X11 session with an EWMH window manager).
    virtual bool windowControl() = 0;
    // Asks for camera access where the platform can; `done` may run on any thread.
    virtual void requestCamera(std::function<void()> done) = 0;
};

// ---- Our own windows

class AppWindows {
public:
    virtual ~AppWindows() = default;
    // One of the program's own windows is the visible key window (no focus is moved then).
    virtual bool ownWindowIsKey() = 0;
    // The program's activation or key window changed; on the main thread.
    std::function<void()> onChange;
};

// ---- Defaults store

class DefaultsStore {
public:
    using Value = std::variant<bool, double, std::string>;
    virtual ~DefaultsStore() = default;
    // Values returned for unset keys, and for stored ones that do not convert.
    void registerDefaults(const std::vector<std::pair<std::string, Value>>& defaults);
    // Typed reads: the stored value when it converts (a file may hold "true" or "0.8" as text), else the
    // registered default, else false, 0 or absent.
    bool boolValue(const std::string& key) const;
    double doubleValue(const std::string& key) const;
    std::optional<std::string> stringValue(const std::string& key) const;
    // The stored value as stored (registered defaults do not count); absent when unset.
    virtual std::optional<Value> value(const std::string& key) const = 0;
    virtual std::vector<std::string> keys() const = 0;
    virtual void set(const std::string& key, const Value& value) = 0;
    virtual void remove(const std::string& key) = 0;

private:
    template <typename Convert>
    auto read(const std::string& key, Convert convert) const -> decltype(convert(Value{}));
    std::map<std::string, Value> registered_;
};

// ---- Autostart

class Autostart {
public:
    virtual ~Autostart() = default;
    virtual bool isRegistered() = 0;
    virtual bool setRegistered(bool registered) = 0;
};

} // namespace orvane
