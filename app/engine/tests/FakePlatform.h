#pragma once

// Fakes of the platform seams for engine tests in virtual time: settable answers, recorded calls.
// Single-threaded: the tests drive them from the thread that runs the manual queues.

#include "CapturingLog.h"
#include "VirtualTime.h"
#include "core/CalibrationProfile.h"
#include "desk/TemporaryFolder.h"
#include "engine/Engine.h"
#include "engine/ProfileStore.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>

namespace orvane::test {

class FakeFaceDetector : public FaceDetector {
  public:
    // The answer of every detect(); absent means a failed detection.
    std::optional<std::vector<DetectedFace>> faces = std::vector<DetectedFace>{};
    std::function<void()> whileDetecting; // runs inside detect(), for example to let virtual time pass
    int detectCalls = 0, resetCalls = 0;

    std::optional<std::vector<DetectedFace>> detect(const FrameView&) override {
        ++detectCalls;
        if (whileDetecting) whileDetecting();
        return faces;
    }
    void reset() override { ++resetCalls; }
    void show(std::vector<DetectedFace> shown) { faces = std::move(shown); }

    // A square box around the given centre (detector coordinates: y up).
    static DetectedFace face(double centerX, double centerY, double width, std::optional<double> yaw = 0.0,
                             std::optional<double> pitch = 0.0, std::optional<double> roll = 0.0) {
        return {centerX - width / 2, centerY - width / 2, width, width, yaw, pitch, roll, 0.9};
    }
    static DetectedFace facing(double yaw) { return face(0.5, 0.5, 0.2, yaw); }
};

class FakeInputSource : public InputSource {
  public:
    std::map<InputEvent, double> secondsSince; // unlisted kinds were never seen
    bool leftButton = false, rightButton = false;
    std::uint32_t modifiers = 0;

    double secondsSinceLast(InputEvent event) override {
        auto found = secondsSince.find(event);
        return found == secondsSince.end() ? std::numeric_limits<double>::infinity() : found->second;
    }
    bool buttonDown(int button) override { return button == 0 ? leftButton : button == 1 && rightButton; }
    std::uint32_t modifierFlags() override { return modifiers; }
};

class FakeSession : public Session {
  public:
    std::optional<bool> locked = false, console = true;
    std::optional<std::vector<bool>> asleep = std::vector<bool>{false, false};
    int queries = 0;

    std::optional<bool> screenLocked() override { return ++queries, locked; }
    std::optional<bool> onConsole() override { return ++queries, console; }
    std::optional<std::vector<bool>> displaysAsleep() override { return ++queries, asleep; }
};

// Frames are handled on a manual queue; each start and stop reports the new state on the main queue.
class FakeCamera : public Camera {
  public:
    FakeCamera(ManualScheduler& scheduler, MainQueue& main) : frames_(scheduler), main_(main) {}

    std::vector<CameraInfo> cameras;
    std::vector<std::optional<std::string>> starts; // the preferred ID of each start
    int stops = 0;
    bool capturing = false;

    std::vector<CameraInfo> availableCameras() override { return cameras; }
    std::optional<CameraInfo> resolveCamera(const std::optional<std::string>& preferredID) override {
        auto found = std::ranges::find_if(cameras, [&](auto& c) { return c.id == preferredID; });
        if (found == cameras.end()) found = std::ranges::find_if(cameras, &CameraInfo::isBuiltIn);
        if (found == cameras.end()) found = cameras.begin();
        return found == cameras.end() ? std::nullopt : std::optional(*found);
    }
    void start(const std::optional<std::string>& preferredID) override {
        starts.push_back(preferredID);
        report(capturing = resolveCamera(preferredID).has_value());
    }
    void stop() override {
        ++stops;
        report(capturing = false);
    }
    std::optional<std::string> activeCameraID() const override { return std::nullopt; }
    TaskQueue& frameQueue() override { return frames_; }
    std::vector<double> frameIntervals; // each interval asked for
    void setFrameInterval(double seconds) override { frameIntervals.push_back(seconds); }
    // Queues one frame; a camera that is not capturing delivers nothing.
    void deliverFrame() {
        if (capturing) frames_.post([this] { onFrame(FrameView{640, 360}, 0); });
    }

  private:
    void report(bool running) {
        main_.post([this, running] { onStateChange(running); });
    }
    ManualQueue frames_;
    MainQueue& main_;
};

class FakeDisplays : public Displays {
  public:
    std::vector<DisplayInfo> list;
    std::vector<DisplayInfo> current() override { return list; }
    // The arrangement changes as the platform would announce it.
    void change(std::vector<DisplayInfo> next) {
        list = std::move(next);
        onChange();
    }
};

class FakeWindowFocus : public WindowFocus {
  public:
    struct Switch {
        DisplayInfo display;
        std::vector<DisplayInfo> displays;
        bool movePointer = false;
    };
    FocusOutcome outcome{FocusMethod::windowManager, true, "-", std::nullopt}; // what every focus move reports
    bool completeAtOnce = true; // false keeps the completion for complete(), so that time can pass
    std::function<void(FocusOutcome)> completion;
    std::vector<std::vector<DisplayInfo>> displayUpdates;
    std::vector<Switch> switches;

    void start() override {}
    void updateDisplays(std::vector<DisplayInfo> displays) override { displayUpdates.push_back(displays); }
    void switchTo(DisplayInfo display, std::vector<DisplayInfo> displays, bool movePointer,
                  std::function<void(FocusOutcome)> done) override {
        switches.push_back({std::move(display), std::move(displays), movePointer});
        completion = std::move(done);
        if (completeAtOnce) complete();
    }
    double lastWarp() const override { return 0; }
    void complete() { std::exchange(completion, nullptr)(outcome); }
};

class FakePermissions : public Permissions {
  public:
    CameraAuthorization cameraStatus = CameraAuthorization::authorized;
    bool trusted = true;
    int cameraReads = 0;
    std::vector<std::function<void()>> requests; // the pending camera requests' answers

    CameraAuthorization camera() override { return ++cameraReads, cameraStatus; }
    bool windowControl() override { return trusted; }
    void requestCamera(std::function<void()> done) override { requests.push_back(std::move(done)); }
};

class FakeAppWindows : public AppWindows {
  public:
    bool ownKey = false;
    bool ownWindowIsKey() override { return ownKey; }
    void setOwnKey(bool key) {
        ownKey = key;
        onChange();
    }
};

// An in-memory defaults store; typed reads convert as from a file.
class FakeDefaultsStore : public DefaultsStore {
  public:
    std::map<std::string, Value> stored;

    std::optional<Value> value(const std::string& key) const override {
        return stored.contains(key) ? std::optional(stored.at(key)) : std::nullopt;
    }
    std::vector<std::string> keys() const override {
        std::vector<std::string> result;
        for (const auto& entry : stored)
            result.push_back(entry.first);
        return result;
    }
    void set(const std::string& key, const Value& value) override { stored[key] = value; }
    void remove(const std::string& key) override { stored.erase(key); }
};

// Twenty held poses per display, labelled for calibration: the head turned to `firstYaw` (radians) for the
// first display and the other way for the others, with a little spread. Turned to the user's left, towards
// the first display of two side by side, yaw is positive.
inline std::vector<LabeledSample> calibrationSamples(const std::vector<DisplayInfo>& displays, double firstYaw) {
    std::vector<LabeledSample> samples;
    for (std::size_t d = 0; d < displays.size(); ++d)
        for (int i = 0; i < 20; ++i) {
            HeadPose pose{(d ? -firstYaw : firstYaw) + 0.02 * std::sin(i), 0.02 * std::cos(1.3 * i), 0, 0.5, 0.5,
                          0.2};
            samples.push_back({pose, displays[d].uuid, LabeledSample::Source::calibration, WallTime{}});
        }
    return samples;
}

// A calibration of the displays with the camera, as calibrating leaves it.
inline void storeProfile(const std::filesystem::path& folder, const std::vector<DisplayInfo>& displays,
                         const std::string& camera, std::vector<LabeledSample> clicks = {}) {
    std::vector<CalibrationProfile::Display> named;
    for (const DisplayInfo& d : displays)
        named.push_back({d.uuid, d.name});
    CapturingLog log;
    ProfileStore(folder, log)
        .save(CalibrationProfile(named, camera, WallTime{}, calibrationSamples(displays, 0.35),
                                 std::move(clicks)));
}

// The training queue, counting the fits handed to it.
struct TrainingQueue : ManualQueue {
    using ManualQueue::ManualQueue;
    void post(Task task) override { ++fits, ManualQueue::post(std::move(task)); }
    int fits = 0;
};

inline const DisplayInfo leftDisplay{1, "L-UUID", "LEFT", {0, 0, 1920, 1080}};
inline const DisplayInfo rightDisplay{2, "R-UUID", "RIGHT", {1920, 0, 1920, 1080}};
inline const CameraInfo builtInCamera{"pci:0000:00:14.0/idx0", "Integrated Camera", true};
inline const CameraInfo usbCamera{"usb:046d:0825:A1B2/if00/idx0", "USB Webcam", false};

// Every service the engine works with, faked in virtual time, and real files in a temporary folder. The
// desk starts with two displays side by side and two cameras.
struct FakeServices {
    TemporaryFolder folder;
    ManualClock clock;
    ManualScheduler scheduler{clock};
    ManualQueue main{scheduler};
    TrainingQueue training{scheduler};
    FakeCamera camera{scheduler, main};
    FakeFaceDetector detector;
    FakeDisplays displays;
    FakeWindowFocus windows;
    FakeInputSource input;
    FakeSession session;
    FakePermissions permissions;
    FakeAppWindows appWindows;
    FakeDefaultsStore defaults;
    CapturingLog log;
    WindowFocus* focus = &windows; // the real one on a test desktop, where a test needs it

    FakeServices() {
        displays.list = {leftDisplay, rightDisplay};
        camera.cameras = {builtInCamera, usbCamera};
    }
    // A calibration of the displays as they are now.
    void storeProfile(const std::string& camera = builtInCamera.id, std::vector<LabeledSample> clicks = {}) {
        test::storeProfile(folder / "Profiles", displays.list, camera, std::move(clicks));
    }
    EngineServices services() {
        return {clock,          main,    training,    camera,     detector, displays, *focus,
                input,          session, permissions, appWindows, defaults, log,      folder / "Profiles",
                folder / "Logs"};
    }
};

} // namespace orvane::test
