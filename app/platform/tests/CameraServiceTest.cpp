#include "platform/CameraService.h"

#include "desk/TemporaryFolder.h"
#include "engine/Clock.h"
#include "engine/SerialQueue.h"
#include "engine/tests/CapturingLog.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gst/gst.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace orvane;
namespace fs = std::filesystem;

namespace {

double uptime() {
    return SystemClock().uptime();
}

// A webcam-like raw source: 720p YUY2 at 30 frames per second.
std::string liveSource(const std::string& pattern = "smpte") {
    return "videotestsrc is-live=true pattern=" + pattern +
           " ! capsfilter caps=video/x-raw,format=YUY2,width=1280,height=720,framerate=30/1";
}

struct Frame {
    int width = 0, height = 0;
    bool planesReadable = false;
    int cornerLuma = 0; // mean luma of the four corner pixels
    int centerLuma = 0;
    double time = 0;      // the time stamp handed over with the frame
    double delivered = 0; // uptime when the handler started
};

// Records what the service hands out, from its threads.
struct Recorder {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Frame> frames;
    std::vector<bool> states;
    double handlingTime = 0; // a slow consumer

    void attach(Camera& camera) {
        camera.onFrame = [this](const FrameView& view, double time) { frame(view, time); };
        camera.onStateChange = [this](bool running) {
            std::lock_guard lock(mutex);
            states.push_back(running);
            changed.notify_all();
        };
    }

    void frame(const FrameView& view, double time) {
        Frame f{view.width, view.height, false, 0, 0, time, uptime()};
        f.planesReadable = view.y && view.uv && view.yStride >= view.width && view.uvStride >= view.width;
        if (f.planesReadable) {
            auto luma = [&](int x, int y) { return int(view.y[y * view.yStride + x]); };
            int w = view.width - 1, h = view.height - 1;
            f.cornerLuma = (luma(0, 0) + luma(w, 0) + luma(0, h) + luma(w, h)) / 4;
            f.centerLuma = luma(w / 2, h / 2);
            // The chroma plane must be there for all height/2 rows.
            volatile int last = view.uv[(view.height / 2 - 1) * view.uvStride + view.width - 1];
            (void)last;
        }
        if (handlingTime > 0) std::this_thread::sleep_for(std::chrono::duration<double>(handlingTime));
        std::lock_guard lock(mutex);
        frames.push_back(f);
        changed.notify_all();
    }

    // Waits (at most long enough to mean a fault) until the condition holds.
    template <typename Condition> bool waitFor(Condition condition, double seconds = 10) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return condition(); });
    }
    bool waitForStates(std::size_t count, double seconds = 10) {
        return waitFor([&] { return states.size() >= count; }, seconds);
    }
    bool waitForFrames(std::size_t count) {
        return waitFor([&] { return frames.size() >= count; });
    }
    std::vector<Frame> framesSince(std::size_t first) {
        std::lock_guard lock(mutex);
        return {frames.begin() + std::min(first, frames.size()), frames.end()};
    }
    std::size_t frameCount() { return framesSince(0).size(); }
    std::vector<bool> stateList() {
        std::lock_guard lock(mutex);
        return states;
    }
};

std::vector<std::string> messages(const test::CapturingLog& log) {
    std::vector<std::string> result;
    for (const auto& line : log.lines())
        result.push_back(line.message);
    return result;
}

// The median spacing of the frames' times.
double medianInterval(const std::vector<Frame>& frames) {
    std::vector<double> intervals;
    for (std::size_t i = 1; i < frames.size(); ++i)
        intervals.push_back(frames[i].time - frames[i - 1].time);
    std::sort(intervals.begin(), intervals.end());
    return intervals.empty() ? 0 : intervals[intervals.size() / 2];
}

// What every frame must be: 640x360 with both planes, stamped in CLOCK_MONOTONIC seconds a little
// before its delivery, each after the one before.
void expectCameraFrames(const std::vector<Frame>& frames) {
    for (std::size_t i = 0; i < frames.size(); ++i) {
        SCOPED_TRACE(i);
        const Frame& f = frames[i];
        EXPECT_TRUE(f.width == 640 && f.height == 360 && f.planesReadable) << f.width << "x" << f.height;
        EXPECT_TRUE(f.time <= f.delivered && f.time > f.delivered - 1.0) << f.delivered - f.time;
        EXPECT_TRUE(i == 0 || f.time > frames[i - 1].time);
    }
}

// Runs a pipeline description to its end, for making test pictures.
void runPipeline(const std::string& description) {
    gst_init(nullptr, nullptr);
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    ASSERT_TRUE(pipeline && !error) << (error ? error->message : "");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    GstMessage* message =
        gst_bus_timed_pop_filtered(bus, 20 * GST_SECOND, GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
    ASSERT_TRUE(message && GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS);
    gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

CameraService::Options sources(std::vector<CameraSource> list) {
    CameraService::Options options;
    options.sources = std::move(list);
    return options;
}

CameraSource source(const std::string& id, const std::string& fragment, bool builtIn = false) {
    return {CameraInfo{id, "Camera " + id, builtIn}, fragment};
}

// No test source, and device folders that hold no camera.
CameraService::Options noCamera(const test::TemporaryFolder& folder) {
    CameraService::Options options;
    options.useDeviceMonitor = false;
    options.roots = {folder / "sys", folder / "udev", folder / "dev"};
    return options;
}

struct CameraServiceTest : ::testing::Test {
    ThreadMainQueue main;
    test::CapturingLog log;
    Recorder recorder;
    std::unique_ptr<CameraService> service;

    CameraService& open(CameraService::Options options) {
        service = std::make_unique<CameraService>(main, log, std::move(options));
        recorder.attach(*service);
        return *service;
    }
};

// The receiver's interval thins the frames out at the source; without one every other frame of the 30
// per second source comes, evenly spaced.
TEST_F(CameraServiceTest, LiveSourceGivesHalfSizeNv12FramesAtFifteenPerSecondOrThinnedToTheInterval) {
    CameraService& camera = open(sources({source("live", liveSource())}));
    camera.setFrameInterval(0.85 / 5);
    camera.start(std::nullopt);
    ASSERT_TRUE(recorder.waitForFrames(8));
    EXPECT_EQ(recorder.stateList(), std::vector<bool>{true});
    EXPECT_EQ(camera.activeCameraID(), "live");
    camera.setFrameInterval(0);
    const std::size_t opened = recorder.frameCount() + 1;
    ASSERT_TRUE(recorder.waitForFrames(opened + 10));
    camera.stop();
    ASSERT_TRUE(recorder.waitForStates(2));
    const auto all = recorder.framesSince(0);
    expectCameraFrames(all);
    EXPECT_NEAR(medianInterval({all.begin() + 1, all.begin() + 8}), 0.2, 0.002);
    EXPECT_NEAR(medianInterval({all.begin() + opened, all.end()}), 1.0 / 15, 0.002);
    EXPECT_EQ(messages(log), (std::vector<std::string>{"Camera started: Camera live", "Camera stopped"}));
}

// Frames that arrive while the handler is busy are dropped, never queued: every frame handled is
// one that arrived during the previous one's handling, so its age stays under one handling time.
TEST_F(CameraServiceTest, SlowConsumerGetsFreshFramesNotABacklog) {
    recorder.handlingTime = 0.25;
    CameraService& camera = open(sources({source("live", liveSource())}));
    camera.start(std::nullopt);
    ASSERT_TRUE(recorder.waitForFrames(12));
    camera.stop();
    ASSERT_TRUE(recorder.waitForStates(2));
    const auto frames = recorder.framesSince(2);
    // A queue would age by 250 - 67 ms with every frame.
    for (const auto& frame : frames)
        EXPECT_LT(frame.delivered - frame.time, 0.6);
    EXPECT_GT(medianInterval(frames), 0.2) << "frames in between were skipped";
}

// Untimed pictures, as multifilesrc reads them and as a sender streams them, ending in JPEG caps: a
// 4:3 picture of 1280x960 becomes 640x480 in the decoder and 640x360 from its middle. Files play at
// their caps' rate; a stream sent more slowly than its caps say keeps the sender's pace. Starting the
// stream replaces the files' session.
TEST_F(CameraServiceTest, UntimedJpegPicturesAreDecodedCroppedAndPlayedAtTheirRateOrTheSendersPace) {
    test::TemporaryFolder folder;
    // White 1280x720 with 120-pixel black bands above and below.
    runPipeline("videotestsrc num-buffers=1 pattern=white ! video/x-raw,width=1280,height=720"
                " ! videobox top=-120 bottom=-120 fill=black ! video/x-raw,width=1280,height=960"
                " ! videoconvert ! video/x-raw,format=Y42B ! jpegenc ! filesink location=" +
                (folder / "frame.jpg").string());
    const std::string jpeg = test::readFile(folder / "frame.jpg");
    ASSERT_FALSE(jpeg.empty());
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    std::atomic<bool> sending{true};
    const auto send10PerSecond = [&, fd = pair[1]] {
        const std::string part =
            "--frame\r\nContent-Type: image/jpeg\r\nContent-Length: " + std::to_string(jpeg.size()) +
            "\r\n\r\n" + jpeg + "\r\n";
        while (sending && send(fd, part.data(), part.size(), MSG_NOSIGNAL) >= 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
    };
    CameraService& camera = open(sources(
        {source("files", "multifilesrc location=" + (folder / "frame.jpg").string() +
                             " loop=true caps=image/jpeg,framerate=15/1 ! capsfilter caps=image/jpeg"),
         source("stream", "fdsrc fd=" + std::to_string(pair[0]) +
                              " ! multipartdemux ! capsfilter caps=image/jpeg,framerate=15/1")}));
    camera.start("files");
    ASSERT_TRUE(recorder.waitForFrames(16)) << testing::PrintToString(messages(log));
    camera.setFrameInterval(0.85 / 5);
    const std::size_t thinned = recorder.frameCount() + 1;
    ASSERT_TRUE(recorder.waitForFrames(thinned + 6));
    camera.setFrameInterval(0);
    camera.start("stream");
    std::thread sender(send10PerSecond);
    // One frame of the old session may still have been waiting.
    const std::size_t streamed = recorder.frameCount() + 1;
    const bool received = recorder.waitForFrames(streamed + 12);
    EXPECT_EQ(camera.activeCameraID(), "stream");
    camera.stop();
    const bool stopped = recorder.waitForStates(3);
    sending = false;
    sender.join();
    close(pair[0]);
    close(pair[1]);
    ASSERT_TRUE(received && stopped) << testing::PrintToString(messages(log));
    EXPECT_EQ(recorder.stateList(), (std::vector<bool>{true, true, false}));
    EXPECT_EQ(messages(log), (std::vector<std::string>{"Camera started: Camera files", "Camera stopped",
                                                       "Camera started: Camera stream", "Camera stopped"}));
    const auto frames = recorder.framesSince(0);
    for (const auto& f : frames) {
        EXPECT_TRUE(f.width == 640 && f.height == 360 && f.planesReadable) << f.width << "x" << f.height;
        EXPECT_TRUE(f.cornerLuma > 200 && f.centerLuma > 200) << f.cornerLuma << " " << f.centerLuma;
        EXPECT_LT(f.time - f.delivered, 0.5);
    }
    EXPECT_NEAR(medianInterval({frames.begin() + 1, frames.begin() + 16}), 1.0 / 15, 0.002);
    EXPECT_NEAR(medianInterval({frames.begin() + thinned, frames.begin() + thinned + 6}), 0.2, 0.002);
    EXPECT_NEAR(medianInterval({frames.begin() + streamed, frames.end()}), 0.1, 0.01);
}

// Each start and stop reports the state once, and says why in the log when it fails.
TEST(CameraSessionTest, StartsAndStopsReportTheirStateOnceAndLogWhy) {
    test::TemporaryFolder folder;
    struct Case {
        const char* name;
        CameraService::Options options;
        std::function<void(CameraService&)> act;
        std::vector<bool> states;
        std::vector<std::string> log; // the beginnings of the lines
    };
    const Case cases[] = {
        {"starting the running camera again does nothing",
         sources({source("live", liveSource())}),
         [](CameraService& c) { c.start("live"), c.start("live"), c.stop(); },
         {true, false},
         {"Camera started: Camera live", "Camera stopped"}},
        {"a stop without a session is silent",
         sources({source("live", liveSource())}),
         [](CameraService& c) { c.stop(); },
         {false},
         {}},
        {"no camera at all",
         noCamera(folder),
         [](CameraService& c) { c.start(std::nullopt); },
         {false},
         {"No camera available"}},
        {"a source that cannot be built",
         sources({source("broken", "nosuchelement ! capsfilter")}),
         [](CameraService& c) { c.start(std::nullopt); },
         {false},
         {"Camera setup failed: "}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ThreadMainQueue main;
        test::CapturingLog log;
        Recorder recorder;
        CameraService camera(main, log, c.options);
        recorder.attach(camera);
        c.act(camera);
        ASSERT_TRUE(recorder.waitForStates(c.states.size()));
        EXPECT_EQ(recorder.stateList(), c.states);
        const auto lines = messages(log);
        ASSERT_EQ(lines.size(), c.log.size()) << testing::PrintToString(lines);
        for (std::size_t i = 0; i < lines.size(); ++i)
            EXPECT_TRUE(lines[i].starts_with(c.log[i])) << lines[i];
        if (!c.states.front()) {
            EXPECT_EQ(camera.activeCameraID(), std::nullopt);
        }
    }
}

TEST_F(CameraServiceTest, PreferredThenBuiltInThenFirstCamera) {
    const auto desk = source("desk", liveSource()), laptop = source("laptop", liveSource(), true);
    CameraService camera(main, log, sources({desk, laptop, source("document", liveSource())}));
    EXPECT_EQ(camera.availableCameras().size(), 3u);
    EXPECT_EQ(camera.resolveCamera("document")->id, "document");
    EXPECT_EQ(camera.resolveCamera("unplugged")->id, "laptop");
    EXPECT_EQ(camera.resolveCamera(std::nullopt)->id, "laptop");
    EXPECT_EQ(CameraService(main, log, sources({desk})).resolveCamera("unplugged")->id, "desk");
    test::TemporaryFolder folder;
    EXPECT_EQ(CameraService(main, log, noCamera(folder)).resolveCamera("any"), std::nullopt);
}

TEST_F(CameraServiceTest, RuntimeErrorRestartsOnceAfterOneSecond) {
    // The 30 per second source fails after two seconds; a restart runs it for another two.
    CameraService& camera = open(sources({source("flaky", liveSource() + " ! identity error-after=60")}));
    camera.start(std::nullopt);
    for (double deadline = uptime() + 10; log.count("Camera restarted") == 0 && uptime() < deadline;)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(log.count("Camera restarted"), 1u);
    ASSERT_TRUE(recorder.waitForFrames(recorder.frameCount() + 3));
    camera.stop();
    ASSERT_TRUE(recorder.waitForStates(2));
    EXPECT_EQ(log.count("Capture runtime error: "), 1u);
    // The restart is not reported; the stop is.
    EXPECT_EQ(recorder.stateList(), (std::vector<bool>{true, false}));
    // One pause in the frames, of the restart delay at least.
    std::vector<double> pauses;
    const auto frames = recorder.framesSince(0);
    for (std::size_t i = 1; i < frames.size(); ++i)
        if (double pause = frames[i].delivered - frames[i - 1].delivered; pause > 0.5)
            pauses.push_back(pause);
    ASSERT_EQ(pauses.size(), 1u);
    EXPECT_GE(pauses[0], CameraService::restartDelay);
}

// An unplugged camera: its source ends and cannot be opened again. The one restart fails and says
// so; the next start opens the camera afresh once it is back.
TEST_F(CameraServiceTest, UnpluggedCameraReportsNotRunningAndOpensOnTheNextStart) {
    test::TemporaryFolder folder;
    auto makePictures = [&] {
        runPipeline("videotestsrc num-buffers=2 ! video/x-raw,width=1280,height=720 ! jpegenc ! "
                    "multifilesink location=" +
                    (folder / "frame%03d.jpg").string());
    };
    makePictures();
    CameraService& camera =
        open(sources({source("usb", "multifilesrc location=" + (folder / "frame%03d.jpg").string() +
                                        " loop=true caps=image/jpeg,framerate=15/1 ! jpegdec")}));
    camera.start("usb");
    ASSERT_TRUE(recorder.waitForFrames(3));
    fs::remove(folder / "frame000.jpg");
    fs::remove(folder / "frame001.jpg");
    ASSERT_TRUE(recorder.waitForStates(2));
    EXPECT_EQ(recorder.stateList(), (std::vector<bool>{true, false}));
    EXPECT_EQ(log.count("Capture runtime error: "), 1u) << testing::PrintToString(messages(log));
    EXPECT_EQ(log.count("Camera restart failed: "), 1u);
    makePictures();
    std::size_t before = recorder.frameCount();
    camera.start("usb");
    ASSERT_TRUE(recorder.waitForStates(3));
    EXPECT_EQ(recorder.stateList(), (std::vector<bool>{true, false, true}));
    EXPECT_TRUE(recorder.waitForFrames(before + 3));
    EXPECT_EQ(log.count("Camera started: "), 2u);
}

// A hung camera sends no error, only no frames: the watchdog treats the silence as a runtime error.
TEST_F(CameraServiceTest, StalledSourceCountsAsRuntimeError) {
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    // Ten small raw frames, then silence with the stream left open.
    std::thread writer([fd = pair[1]] {
        std::vector<char> frame(320 * 180 * 3 / 2, 100);
        for (int i = 0; i < 10; ++i)
            if (send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) < 0) return;
    });
    CameraService::Options options =
        sources({source("hung", "fdsrc fd=" + std::to_string(pair[0]) +
                                    " ! rawvideoparse format=i420 width=320 height=180 framerate=15/1")});
    options.stallTimeout = 1.0;
    options.startTimeout = 2.0;
    open(options).start(std::nullopt);
    ASSERT_TRUE(recorder.waitForStates(2, 20));
    writer.join();
    EXPECT_EQ(recorder.stateList(), (std::vector<bool>{true, false}));
    auto lines = messages(log);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "Camera started: Camera hung");
    EXPECT_TRUE(lines[1].starts_with("Capture runtime error: no frame for ")) << lines[1];
    EXPECT_EQ(lines[2], "Camera restart failed: no frame within 2 s");
    close(pair[0]);
    close(pair[1]);
}

CaptureFormat raw(int width, int height, std::vector<double> rates, std::string format = "YUY2") {
    return {false, std::move(format), width, height, std::move(rates)};
}
CaptureFormat jpeg(int width, int height, std::vector<double> rates) {
    return {true, "", width, height, std::move(rates)};
}

} // namespace

// 720p (else the largest smaller size, else the smallest larger) at 15 or 30, raw before JPEG, never grey.
TEST(CaptureFormatTest, ChoosesSizeRateAndEncodingInThatOrder) {
    CaptureFormat ranged = raw(1280, 720, {});
    ranged.minimumRate = 1;
    ranged.maximumRate = 60;
    using Choice = std::optional<std::tuple<bool, int, std::string, std::optional<int>>>;
    const std::tuple<const char*, std::vector<CaptureFormat>, Choice> cases[] = {
        {"the usual USB 2 webcam: raw 720p only at 10",
         {raw(640, 480, {30, 15}), raw(1280, 720, {10, 5}), jpeg(1280, 720, {30, 15}), jpeg(640, 480, {30})},
         std::tuple{true, 1280, "", 15}},
        {"raw before JPEG",
         {jpeg(1280, 720, {30, 15}), raw(1280, 720, {30, 15})},
         std::tuple{false, 1280, "YUY2", 15}},
        {"30 without 15", {jpeg(1280, 720, {60, 30}), raw(1280, 720, {10})}, std::tuple{true, 1280, "", 30}},
        {"a range of rates", {ranged}, std::tuple{false, 1280, "YUY2", 15}},
        {"neither 15 nor 30: its own rate",
         {raw(1280, 720, {25, 10}), jpeg(1280, 720, {25})},
         std::tuple{false, 1280, "YUY2", std::nullopt}},
        {"the largest smaller size",
         {raw(320, 240, {30}), raw(640, 480, {30}), raw(1600, 1200, {15})},
         std::tuple{false, 640, "YUY2", 30}},
        {"else the smallest larger",
         {jpeg(3840, 2160, {30}), jpeg(1920, 1080, {30})},
         std::tuple{true, 1920, "", 30}},
        {"grey only", {raw(1280, 720, {15}, "GRAY8"), raw(640, 360, {15}, "GRAY16_LE")}, std::nullopt},
        {"colour over grey",
         {raw(1280, 720, {15}, "GRAY8"), raw(640, 480, {15}, "NV12")},
         std::tuple{false, 640, "NV12", 15}},
    };
    for (const auto& [name, formats, expected] : cases) {
        const auto chosen = chooseCaptureFormat(formats);
        EXPECT_EQ(chosen ? Choice(std::tuple(chosen->format.jpeg, chosen->format.width,
                                             chosen->format.pixelFormat, chosen->rate))
                         : std::nullopt,
                  expected)
            << name;
    }
}

TEST(FrameGateTest, PassesTheFramesTheReceiverWillAnalyseAndThoseWithinHalfAFrameOfThem) {
    // Frame times of a camera at `rate` frames per second.
    const auto framesAt = [](double rate, int count) {
        std::vector<double> times;
        for (int i = 0; i < count; ++i)
            times.push_back(i / rate);
        return times;
    };
    struct Case {
        const char* name;
        double interval;
        std::vector<double> times;
        std::vector<int> passed; // indices of the frames let through
    };
    const double full = 0.85 / 15, idle = 0.85 / 5, slow = 0.85 / 4;
    const Case cases[] = {
        {"no interval: every frame", 0, framesAt(15, 5), {0, 1, 2, 3, 4}},
        {"full rate: every frame of 15", full, framesAt(15, 5), {0, 1, 2, 3, 4}},
        {"full rate: every other frame of 30", full, framesAt(30, 7), {0, 2, 4, 6}},
        {"idle: every third frame of 15", idle, framesAt(15, 10), {0, 3, 6, 9}},
        {"idle: every second frame of 10", idle, framesAt(10, 5), {0, 2, 4}},
        // The fourth frame comes 0.2 s after the last: short of the interval, but within half a frame,
        // so it passes without restarting the interval; the receiver keeps the fifth.
        {"no face: every fourth frame of 15 and the one before", slow, framesAt(15, 9), {0, 3, 4, 7, 8}},
        // The wanted frame seen 5 ms early here may be seen late enough by the receiver.
        {"a frame a little early", idle, {0, 0.0667, 0.1333, 0.165, 0.2333, 0.3}, {0, 3, 4}},
        {"a restarted source starts afresh", idle, {0, 0.0667, 0.1333, 0.2, 0.01, 0.0767}, {0, 3, 4}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FrameGate gate;
        std::vector<int> passed;
        for (std::size_t i = 0; i < c.times.size(); ++i)
            if (gate.pass(c.times[i], c.interval)) passed.push_back(int(i));
        EXPECT_EQ(passed, c.passed);
    }
}
