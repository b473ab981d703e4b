#pragma once

#include "engine/Log.h"
#include "engine/Platform.h"
#include "engine/Queue.h"
#include "engine/SerialQueue.h"
#include "platform/CameraIdentity.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace orvane {

// A camera whose source is a GStreamer fragment instead of a device ("videotestsrc is-live=true"),
// feeding the same downstream chain. Used by tests, the demo and measurements. End the fragment with
// a capsfilter that names what it gives; the path is chosen from the caps its end can give:
//  - raw video ("... ! capsfilter caps=video/x-raw,format=YUY2,width=1280,height=720,framerate=30/1",
//    or a decoder such as "... ! jpegdec"): cropped, scaled and converted like a raw camera's frames;
//  - JPEG pictures, one whole picture per buffer ("multifilesrc ... ! capsfilter caps=image/jpeg",
//    "tcpclientsrc ... ! multipartdemux ! capsfilter caps=image/jpeg"): decoded straight to half size
//    like a JPEG camera's. Only a fragment that can give nothing but image/jpeg takes this path.
// Pictures without time stamps (multifilesrc's, multipartdemux's) are timed a frame period after the
// last one, by the frame rate in the caps ("capsfilter caps=image/jpeg,framerate=15/1"), or by their
// arrival when that is later: files play at that rate, a stream keeps the pace its sender gives it.
struct CameraSource {
    CameraInfo camera;
    std::string fragment;
};

// One capture format a device offers.
struct CaptureFormat {
    bool jpeg = false;
    std::string pixelFormat; // GStreamer's raw format name ("YUY2"); empty for JPEG
    int width = 0;
    int height = 0;
    std::vector<double> rates; // frames per second, as the device lists them
    // Or a continuous range of rates.
    double minimumRate = 0;
    double maximumRate = 0;

    bool isGrey() const { return !jpeg && pixelFormat.starts_with("GRAY"); }
    bool supportsRate(double rate) const;
};

// What a device session asks the camera for.
struct CaptureRequest {
    CaptureFormat format;
    std::optional<int> rate; // 15 or 30; absent when the camera runs at its own rate
};

// Decides, right after the source, which frames can be analysed: those at least the interval after
// the last one that reached it. Half a frame period of slack lets through the frame the receiver
// wants even when its clock sees it a little later than this one; such an early frame does not
// restart the interval, because the receiver drops it. An interval of 0 passes every frame.
class FrameGate {
  public:
    // time: the frame's capture time in seconds; a time before the last one starts afresh.
    bool pass(double time, double interval);

  private:
    std::optional<double> previous_; // the last frame seen, passed or not
    std::optional<double> last_;     // the last frame that reached the interval
};

// The 1280x720 format when the camera has one, else the largest at most that size; at 15 frames per
// second when offered, else 30 (both come out evenly spaced), else the camera's own rate. Raw is
// preferred to JPEG at equal rates: it costs no decoding.
std::optional<CaptureRequest> chooseCaptureFormat(const std::vector<CaptureFormat>& formats);

// The camera on GStreamer: discovery, a capture session per start, and 640x360 NV12 frames at up to
// 15 per second on the frame queue, the newest only: a frame arriving while the previous one is still
// waiting or being handled is dropped. Frames sooner than the receiver's interval (setFrameInterval)
// are dropped before they are decoded, cropped, scaled or converted; JPEG pictures are decoded at
// half size (ScaledJpegDecoder).
//
// Session work (build, start, stop, restart) runs on the session queue "orvane.camera.session";
// bus messages are handled on the thread that posts them. A runtime error, an end of stream or a
// stall (no frame for stallTimeout seconds) restarts the session once, 1.0 s later; a restart that
// fails reports not running, and the next start opens the camera again.
class CameraService : public Camera {
  public:
    // Environment variable holding a source fragment that replaces the devices.
    static constexpr const char* sourceVariable = "ORVANE_CAMERA_SOURCE";
    static constexpr double restartDelay = 1.0;

    struct Options {
        // Non-empty: these cameras replace device discovery.
        std::vector<CameraSource> sources = sourcesFromEnvironment();
        DeviceRoots roots;
        // GStreamer's device monitor (udev); off, or when it finds nothing, roots.dev is scanned.
        bool useDeviceMonitor = true;
        double stallTimeout = 3.0; // seconds without a frame that count as a runtime error
        double startTimeout = 5.0; // seconds a start may wait for the first frame
    };

    // One camera for the fragment in ORVANE_CAMERA_SOURCE, if set.
    static std::vector<CameraSource> sourcesFromEnvironment();

    CameraService(MainQueue& main, Log& log);
    CameraService(MainQueue& main, Log& log, Options options);
    ~CameraService() override;
    CameraService(const CameraService&) = delete;
    CameraService& operator=(const CameraService&) = delete;

    std::vector<CameraInfo> availableCameras() override;
    std::optional<CameraInfo> resolveCamera(const std::optional<std::string>& preferredID) override;
    void start(const std::optional<std::string>& preferredID) override;
    void stop() override;
    std::optional<std::string> activeCameraID() const override;
    TaskQueue& frameQueue() override { return frameQueue_; }
    void setFrameInterval(double seconds) override;

  private:
    struct Device;
    struct Session;

    std::vector<Device> devices();
    std::optional<Device> resolveDevice(const std::optional<std::string>& preferredID);
    void startSession(const std::optional<std::string>& preferredID);
    void stopSession();
    std::shared_ptr<Session> buildSession(const Device& device, bool lockRate, std::string& error);
    bool play(Session& session, std::string& error);
    void lockFrameRate(Session& session);
    void runtimeError(const std::shared_ptr<Session>& session, const std::string& description);
    void restart(const std::weak_ptr<Session>& session);
    void watch(const std::weak_ptr<Session>& session);
    void report(bool running);
    void frameArrived(Session& session, void* sample);
    void deliver(void* sample, double time);

    MainQueue& main_;
    Logger log_;
    Options options_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);

    mutable std::mutex activeMutex_;
    std::optional<std::string> activeCameraID_;
    std::shared_ptr<Session> session_; // session queue only

    // The one-slot mailbox: set while a frame is posted to or being handled on the frame queue.
    std::atomic<bool> frameBusy_{false};
    std::atomic<double> frameInterval_{0}; // seconds; read by the gate on the streaming thread

    // Declared last so that they go first (the session queue, then the frame queue): their remaining
    // tasks still find everything above.
    SerialQueue frameQueue_{"orvane.camera.frames", QueuePriority::userInteractive};
    SerialQueue sessionQueue_{"orvane.camera.session", QueuePriority::standard};
};

} // namespace orvane
