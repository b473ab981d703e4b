#include "platform/CameraService.h"

#include "engine/Clock.h"
#include "platform/ScaledJpegDecoder.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>
#include <utility>

namespace orvane {

namespace {

double uptime() {
    return SystemClock().uptime();
}

// Everything after the source: 15 frames per second at most (late frames dropped, never repeated),
// then the gate (a probe on the rate's output) before any decoding; JPEG decoded at half size; 4:3 and
// other shapes cropped to 16:9 around the centre, then 640x360 NV12 with square pixels.
// Not videoconvertscale: in 1.22 it reads cropped RGB frames as black.
std::string downstream(bool jpeg) {
    return std::string(" ! videorate name=rate drop-only=true max-rate=15") +
           (jpeg ? std::string(" ! ") + ScaledJpegDecoder::elementName : "") +
           " ! aspectratiocrop aspect-ratio=16/9 ! videoscale ! videoconvert"
           " ! capsfilter caps=video/x-raw,format=NV12,width=640,height=360,pixel-aspect-ratio=1/1"
           " ! appsink name=frames drop=true max-buffers=1 sync=false enable-last-sample=false";
}

// Whether all a source fragment can give is JPEG pictures, read from the caps its end can give.
bool yieldsJpeg(const std::string& fragment) {
    GError* error = nullptr;
    GstElement* bin = gst_parse_bin_from_description(fragment.c_str(), TRUE, &error);
    if (error) g_error_free(error);
    if (!bin) return false;
    gst_object_ref_sink(bin);
    bool jpeg = false;
    if (GstPad* pad = gst_element_get_static_pad(bin, "src")) {
        GstCaps* caps = gst_pad_query_caps(pad, nullptr);
        jpeg = caps && !gst_caps_is_empty(caps) && !gst_caps_is_any(caps);
        for (guint i = 0; jpeg && i < gst_caps_get_size(caps); ++i)
            jpeg = gst_structure_has_name(gst_caps_get_structure(caps, i), "image/jpeg");
        if (caps) gst_caps_unref(caps);
        gst_object_unref(pad);
    }
    gst_object_unref(bin);
    return jpeg;
}

// Pictures without a time (multifilesrc's, multipartdemux's) get one before the rate and the gate read
// it, as a decoder would: a frame period (from the caps' rate) after the last one, or their arrival
// when that is later. Files, read as fast as the sink lets them, are played at their rate; a stream
// that a sender paces more slowly than its caps say keeps its own pace.
void stamp(GstPad* pad, GstPadProbeInfo* info, GstClockTime& last, GstElement* pipeline) {
    GstBuffer* buffer = GST_PAD_PROBE_INFO_BUFFER(info);
    if (GST_BUFFER_PTS_IS_VALID(buffer)) return;
    int rateNumerator = 0, rateDenominator = 1;
    if (GstCaps* caps = gst_pad_get_current_caps(pad)) {
        gst_structure_get_fraction(gst_caps_get_structure(caps, 0), "framerate", &rateNumerator,
                                   &rateDenominator);
        gst_caps_unref(caps);
    }
    const GstClockTime period = rateNumerator > 0 && rateDenominator > 0
                                    ? gst_util_uint64_scale(GST_SECOND, rateDenominator, rateNumerator)
                                    : 0;
    GstClockTime time = GST_CLOCK_TIME_IS_VALID(last) ? last + period : 0;
    // Running time means something only once playing; the first picture prerolls at 0.
    GstClock* clock = gst_element_get_clock(pipeline);
    if (clock && GST_STATE(pipeline) == GST_STATE_PLAYING) {
        const GstClockTime now = gst_clock_get_time(clock), base = gst_element_get_base_time(pipeline);
        if (now > base) time = std::max(time, now - base);
    }
    if (clock) gst_object_unref(clock);
    last = time;
    buffer = gst_buffer_make_writable(buffer);
    GST_BUFFER_PTS(buffer) = time;
    if (period) GST_BUFFER_DURATION(buffer) = period;
    GST_PAD_PROBE_INFO_DATA(info) = buffer;
}

// A stream of pictures in bytes (multifilesrc's) is one in time from 0, where stamp() puts them.
void timeSegment(GstPadProbeInfo* info) {
    GstEvent* event = GST_PAD_PROBE_INFO_EVENT(info);
    if (GST_EVENT_TYPE(event) != GST_EVENT_SEGMENT) return;
    const GstSegment* segment = nullptr;
    gst_event_parse_segment(event, &segment);
    if (segment->format == GST_FORMAT_TIME) return;
    GstSegment time;
    gst_segment_init(&time, GST_FORMAT_TIME);
    GST_PAD_PROBE_INFO_DATA(info) = gst_event_new_segment(&time);
    gst_event_unref(event);
}

// A buffer's capture time in seconds of its running time, or the uptime when it has none. Running
// time, not arrival, so that a source that is not live is gated at the pace it is played at.
double captureTime(GstPad* pad, GstBuffer* buffer) {
    double time = uptime();
    if (!GST_CLOCK_TIME_IS_VALID(GST_BUFFER_PTS(buffer))) return time;
    if (GstEvent* event = gst_pad_get_sticky_event(pad, GST_EVENT_SEGMENT, 0)) {
        const GstSegment* segment = nullptr;
        gst_event_parse_segment(event, &segment);
        const guint64 running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer));
        if (GST_CLOCK_TIME_IS_VALID(running)) time = double(running) / GST_SECOND;
        gst_event_unref(event);
    }
    return time;
}

std::string describe(GError* error) {
    std::string text = error && error->message ? error->message : "unknown error";
    if (error) g_error_free(error);
    return text;
}

// ---- Devices

struct NodeQuery {
    bool capture = false;
    bool greyOnly = false;
    std::string card;
};

bool isGreyFormat(std::uint32_t format) {
    switch (format) {
    case V4L2_PIX_FMT_GREY:
    case V4L2_PIX_FMT_Y4:
    case V4L2_PIX_FMT_Y6:
    case V4L2_PIX_FMT_Y10:
    case V4L2_PIX_FMT_Y12:
    case V4L2_PIX_FMT_Y16:
    case V4L2_PIX_FMT_Y16_BE:
    case V4L2_PIX_FMT_Y10BPACK:
    case V4L2_PIX_FMT_Y10P:
    case V4L2_PIX_FMT_Y8I:
    case V4L2_PIX_FMT_Y12I:
    case V4L2_PIX_FMT_Z16:
        return true;
    default:
        return false;
    }
}

// Whether a node captures video (not metadata) and whether all it offers is greyscale.
std::optional<NodeQuery> queryNode(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    NodeQuery query;
    v4l2_capability capability{};
    if (::ioctl(fd, VIDIOC_QUERYCAP, &capability) == 0) {
        auto caps =
            capability.capabilities & V4L2_CAP_DEVICE_CAPS ? capability.device_caps : capability.capabilities;
        query.capture = caps & V4L2_CAP_VIDEO_CAPTURE;
        query.card = reinterpret_cast<const char*>(capability.card);
        bool anyFormat = false;
        bool allGrey = true;
        v4l2_fmtdesc format{};
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        for (format.index = 0; ::ioctl(fd, VIDIOC_ENUM_FMT, &format) == 0; ++format.index) {
            anyFormat = true;
            allGrey = allGrey && isGreyFormat(format.pixelformat);
        }
        query.greyOnly = anyFormat && allGrey;
    }
    ::close(fd);
    return query;
}

// The device monitor needs udev; in containers it lists nothing and the nodes are scanned instead.
std::vector<VideoNode> monitoredNodes() {
    std::vector<VideoNode> nodes;
    GstDeviceMonitor* monitor = gst_device_monitor_new();
    gst_device_monitor_add_filter(monitor, "Video/Source", nullptr);
    gst_device_monitor_set_show_all_devices(monitor, TRUE);
    if (gst_device_monitor_start(monitor)) {
        GList* devices = gst_device_monitor_get_devices(monitor);
        for (GList* item = devices; item; item = item->next) {
            GstDevice* device = GST_DEVICE(item->data);
            GstStructure* properties = gst_device_get_properties(device);
            const char* api = properties ? gst_structure_get_string(properties, "device.api") : nullptr;
            const char* path = properties ? gst_structure_get_string(properties, "api.v4l2.path") : nullptr;
            if (properties && !path) path = gst_structure_get_string(properties, "device.path");
            if (api && std::string_view(api) == "v4l2" && path) {
                gchar* name = gst_device_get_display_name(device);
                nodes.push_back({std::filesystem::path(path).filename().string(), name ? name : "", false});
                g_free(name);
            }
            if (properties) gst_structure_free(properties);
        }
        g_list_free_full(devices, gst_object_unref);
        gst_device_monitor_stop(monitor);
    }
    gst_object_unref(monitor);
    return nodes;
}

std::vector<VideoNode> scannedNodes(const std::filesystem::path& dev) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(dev, error)) {
        auto name = entry.path().filename().string();
        if (name.starts_with("video")) names.push_back(name);
    }
    // video2 before video10.
    std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return std::make_pair(a.size(), a) < std::make_pair(b.size(), b);
    });
    std::vector<VideoNode> nodes;
    for (const auto& name : names)
        if (auto query = queryNode(dev / name); query && query->capture)
            nodes.push_back({name, query->card, query->greyOnly});
    return nodes;
}

// ---- Formats

void addRates(CaptureFormat& format, const GValue* value) {
    if (!value) return;
    if (GST_VALUE_HOLDS_FRACTION(value)) {
        format.rates.push_back(double(gst_value_get_fraction_numerator(value)) /
                               gst_value_get_fraction_denominator(value));
    } else if (GST_VALUE_HOLDS_LIST(value)) {
        for (guint i = 0; i < gst_value_list_get_size(value); ++i)
            addRates(format, gst_value_list_get_value(value, i));
    } else if (GST_VALUE_HOLDS_FRACTION_RANGE(value)) {
        auto rate = [](const GValue* v) {
            return double(gst_value_get_fraction_numerator(v)) / gst_value_get_fraction_denominator(v);
        };
        format.minimumRate = rate(gst_value_get_fraction_range_min(value));
        format.maximumRate = rate(gst_value_get_fraction_range_max(value));
    }
}

std::vector<CaptureFormat> captureFormats(GstCaps* caps) {
    std::vector<CaptureFormat> formats;
    for (guint i = 0; caps && i < gst_caps_get_size(caps); ++i) {
        const GstStructure* structure = gst_caps_get_structure(caps, i);
        std::string_view media = gst_structure_get_name(structure);
        CaptureFormat format;
        format.jpeg = media == "image/jpeg";
        if (!format.jpeg && media != "video/x-raw") continue;
        if (!format.jpeg) {
            const char* pixelFormat = gst_structure_get_string(structure, "format");
            if (!pixelFormat) continue;
            format.pixelFormat = pixelFormat;
        }
        if (!gst_structure_get_int(structure, "width", &format.width) ||
            !gst_structure_get_int(structure, "height", &format.height))
            continue;
        addRates(format, gst_structure_get_value(structure, "framerate"));
        formats.push_back(std::move(format));
    }
    return formats;
}

// The formats a device offers, read through GStreamer's own probing.
std::optional<std::vector<CaptureFormat>> probeFormats(const std::string& path, std::string& error) {
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return std::nullopt;
    }
    ::close(fd);
    GstElement* source = gst_element_factory_make("v4l2src", nullptr);
    if (!source) {
        error = "the v4l2src element is missing";
        return std::nullopt;
    }
    g_object_set(source, "device", path.c_str(), nullptr);
    std::optional<std::vector<CaptureFormat>> formats;
    if (gst_element_set_state(source, GST_STATE_READY) == GST_STATE_CHANGE_SUCCESS) {
        GstPad* pad = gst_element_get_static_pad(source, "src");
        GstCaps* caps = gst_pad_query_caps(pad, nullptr);
        formats = captureFormats(caps);
        gst_caps_unref(caps);
        gst_object_unref(pad);
    } else {
        error = path + ": the device cannot be opened for capture";
    }
    gst_element_set_state(source, GST_STATE_NULL);
    gst_object_unref(source);
    return formats;
}

std::string capsText(const CaptureRequest& request) {
    std::string text =
        request.format.jpeg ? "image/jpeg" : "video/x-raw,format=" + request.format.pixelFormat;
    text +=
        ",width=" + std::to_string(request.format.width) + ",height=" + std::to_string(request.format.height);
    if (request.rate) text += ",framerate=" + std::to_string(*request.rate) + "/1";
    return text;
}

} // namespace

bool FrameGate::pass(double time, double interval) {
    const double period = previous_ && time > *previous_ ? time - *previous_ : 0;
    previous_ = time;
    if (!last_ || !(interval > 0) || time < *last_ || time - *last_ >= interval) {
        last_ = time;
        return true;
    }
    return time - *last_ >= interval - period / 2;
}

bool CaptureFormat::supportsRate(double rate) const {
    if (std::any_of(rates.begin(), rates.end(), [rate](double r) { return std::abs(r - rate) < 0.01; }))
        return true;
    return maximumRate > 0 && minimumRate <= rate && rate <= maximumRate;
}

std::optional<CaptureRequest> chooseCaptureFormat(const std::vector<CaptureFormat>& formats) {
    std::vector<CaptureFormat> usable;
    std::copy_if(formats.begin(), formats.end(), std::back_inserter(usable),
                 [](const CaptureFormat& format) { return !format.isGrey() && format.width > 0; });
    if (usable.empty()) return std::nullopt;

    // The size: 1280x720 when offered, else the largest no bigger, else the smallest.
    constexpr long wanted = 1280L * 720;
    auto area = [](const CaptureFormat& format) { return long(format.width) * format.height; };
    auto better = [&](const CaptureFormat& a, const CaptureFormat& b) {
        bool aFits = area(a) <= wanted, bFits = area(b) <= wanted;
        if (aFits != bFits) return aFits;
        return aFits ? area(a) > area(b) : area(a) < area(b);
    };
    const CaptureFormat* size = &usable.front();
    for (const auto& format : usable)
        if (format.width == 1280 && format.height == 720) {
            size = &format;
            break;
        } else if (better(format, *size)) {
            size = &format;
        }
    int width = size->width, height = size->height;

    for (int rate : {15, 30})
        for (bool jpeg : {false, true})
            for (const auto& format : usable)
                if (format.width == width && format.height == height && format.jpeg == jpeg &&
                    format.supportsRate(rate))
                    return CaptureRequest{format, rate};
    for (bool jpeg : {false, true})
        for (const auto& format : usable)
            if (format.width == width && format.height == height && format.jpeg == jpeg)
                return CaptureRequest{format, std::nullopt};
    return std::nullopt;
}

// ---- The service

struct CameraService::Device {
    CameraInfo info;
    std::string fragment; // a source override
    std::string path;     // or a device node
};

struct CameraService::Session : std::enable_shared_from_this<Session> {
    enum class Phase { starting, running, failed };

    CameraService* service = nullptr;
    GstElement* pipeline = nullptr;
    std::optional<int> rate; // the rate asked of the device, if any
    std::atomic<Phase> phase{Phase::starting};
    std::atomic<double> lastFrame{0};
    std::atomic<bool> frameSeen{false};           // since the last play
    FrameGate gate;                               // the streaming thread's
    GstClockTime lastStamp = GST_CLOCK_TIME_NONE; // the last time stamp() gave, since the last play
    std::mutex mutex;
    std::string setupError; // the first error while starting

    ~Session() {
        if (!pipeline) return;
        gst_element_set_state(pipeline, GST_STATE_NULL);
        GstBus* bus = gst_element_get_bus(pipeline);
        gst_bus_set_sync_handler(bus, nullptr, nullptr, nullptr);
        gst_object_unref(bus);
        gst_object_unref(pipeline);
    }

    void noteSetupError(const std::string& text) {
        std::lock_guard lock(mutex);
        if (setupError.empty()) setupError = text;
    }
    std::string takeSetupError() {
        std::lock_guard lock(mutex);
        return std::exchange(setupError, {});
    }
};

std::vector<CameraSource> CameraService::sourcesFromEnvironment() {
    const char* fragment = std::getenv(sourceVariable);
    if (!fragment || !*fragment) return {};
    return {{CameraInfo{"source", "Source override", false}, fragment}};
}

CameraService::CameraService(MainQueue& main, Log& log) : CameraService(main, log, Options{}) {}

CameraService::CameraService(MainQueue& main, Log& log, Options options)
    : main_(main), log_(log, "camera"), options_(std::move(options)) {
    gst_init(nullptr, nullptr);
}

CameraService::~CameraService() {
    alive_.reset();
    sessionQueue_.post([this] { session_.reset(); });
    sessionQueue_.sync();
}

std::vector<CameraService::Device> CameraService::devices() {
    std::vector<Device> devices;
    if (!options_.sources.empty()) {
        for (const auto& source : options_.sources)
            devices.push_back({source.camera, source.fragment, {}});
        return devices;
    }
    std::vector<VideoNode> nodes;
    if (options_.useDeviceMonitor) nodes = monitoredNodes();
    if (nodes.empty()) nodes = scannedNodes(options_.roots.dev);
    for (auto& node : nodes)
        if (!node.greyOnly)
            if (auto query = queryNode(options_.roots.dev / node.node)) node.greyOnly = query->greyOnly;
    for (auto& camera : identifyCameras(options_.roots, nodes))
        devices.push_back({camera.info, {}, (options_.roots.dev / camera.node).string()});
    return devices;
}

std::vector<CameraInfo> CameraService::availableCameras() {
    std::vector<CameraInfo> cameras;
    for (auto& device : devices())
        cameras.push_back(device.info);
    return cameras;
}

std::optional<CameraService::Device>
CameraService::resolveDevice(const std::optional<std::string>& preferredID) {
    auto all = devices();
    auto first = [&](auto predicate) -> std::optional<Device> {
        auto found = std::find_if(all.begin(), all.end(), predicate);
        if (found == all.end()) return std::nullopt;
        return *found;
    };
    if (preferredID)
        if (auto device = first([&](const Device& d) { return d.info.id == *preferredID; })) return device;
    if (auto device = first([](const Device& d) { return d.info.isBuiltIn; })) return device;
    if (all.empty()) return std::nullopt;
    return all.front();
}

std::optional<CameraInfo> CameraService::resolveCamera(const std::optional<std::string>& preferredID) {
    if (auto device = resolveDevice(preferredID)) return device->info;
    return std::nullopt;
}

void CameraService::start(const std::optional<std::string>& preferredID) {
    sessionQueue_.post([this, preferredID] { startSession(preferredID); });
}

void CameraService::stop() {
    sessionQueue_.post([this] { stopSession(); });
}

void CameraService::setFrameInterval(double seconds) {
    frameInterval_ = std::isfinite(seconds) && seconds > 0 ? seconds : 0;
}

std::optional<std::string> CameraService::activeCameraID() const {
    std::lock_guard lock(activeMutex_);
    return activeCameraID_;
}

void CameraService::startSession(const std::optional<std::string>& preferredID) {
    auto device = resolveDevice(preferredID);
    if (!device) {
        log_.error("No camera available");
        report(false);
        return;
    }
    if (session_ && session_->phase == Session::Phase::running && activeCameraID() == device->info.id) return;
    if (session_) {
        session_.reset();
        log_.info("Camera stopped");
    }

    std::string error;
    auto session = buildSession(*device, true, error);
    bool playing = session && play(*session, error);
    // A device that will not run at the rate asked for may still run at its own.
    if (session && !playing && session->rate) {
        session = buildSession(*device, false, error);
        playing = session && play(*session, error);
    }
    if (!playing) {
        session.reset();
        log_.error("Camera setup failed: " + error);
        report(false);
        return;
    }
    session_ = session;
    {
        std::lock_guard lock(activeMutex_);
        activeCameraID_ = device->info.id;
    }
    log_.info("Camera started: " + device->info.name);
    report(session->phase == Session::Phase::running);
    sessionQueue_.postAfter(1.0, [this, weak = std::weak_ptr(session)] { watch(weak); });
}

void CameraService::stopSession() {
    if (session_) {
        session_.reset();
        log_.info("Camera stopped");
    }
    report(false);
}

std::shared_ptr<CameraService::Session> CameraService::buildSession(const Device& device, bool lockRate,
                                                                    std::string& error) {
    std::string source = device.fragment;
    std::optional<int> rate;
    if (source.empty()) {
        auto formats = probeFormats(device.path, error);
        if (!formats) return nullptr;
        source = "v4l2src device=" + device.path;
        if (auto request = chooseCaptureFormat(*formats)) {
            if (!lockRate) request->rate.reset();
            rate = request->rate;
            source += " ! capsfilter name=capture caps=" + capsText(*request);
        }
    }

    const bool jpeg = yieldsJpeg(source);
    if (jpeg && !ScaledJpegDecoder::registerElement()) {
        error = "the JPEG decoder cannot be registered";
        return nullptr;
    }
    GError* parseError = nullptr;
    GstElement* pipeline = gst_parse_launch((source + downstream(jpeg)).c_str(), &parseError);
    if (!pipeline || parseError) {
        if (pipeline) gst_object_unref(pipeline);
        error = describe(parseError);
        return nullptr;
    }
    auto session = std::make_shared<Session>();
    session->service = this;
    session->pipeline = pipeline;
    session->rate = rate;

    // Frame times are CLOCK_MONOTONIC seconds: the system clock's base time plus running time.
    GstClock* clock = gst_system_clock_obtain();
    gst_pipeline_use_clock(GST_PIPELINE(pipeline), clock);
    gst_object_unref(clock);

    GstBus* bus = gst_element_get_bus(pipeline);
    gst_bus_set_sync_handler(
        bus,
        [](GstBus*, GstMessage* message, gpointer data) {
            auto* session = static_cast<Session*>(data);
            std::optional<std::string> failure;
            if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_WARNING && session->rate) {
                // The device refused its settings (the frame interval): it goes on at its own rate.
                GError* warning = nullptr;
                gst_message_parse_warning(message, &warning, nullptr);
                if (warning && g_error_matches(warning, GST_RESOURCE_ERROR, GST_RESOURCE_ERROR_SETTINGS))
                    session->service->log_.error("Frame rate lock failed: " + describe(warning));
                else if (warning)
                    g_error_free(warning);
            } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
                GError* error = nullptr;
                gst_message_parse_error(message, &error, nullptr);
                failure = describe(error);
            } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_EOS) {
                failure = "end of stream";
            }
            if (failure) {
                if (session->phase == Session::Phase::starting)
                    session->noteSetupError(*failure);
                else if (auto owner = session->weak_from_this().lock())
                    session->service->runtimeError(owner, *failure);
            }
            return GST_BUS_DROP;
        },
        session.get(), nullptr);
    gst_object_unref(bus);

    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "frames");
    GstAppSinkCallbacks callbacks{};
    callbacks.new_sample = [](GstAppSink* sink, gpointer data) {
        auto* session = static_cast<Session*>(data);
        if (GstSample* sample = gst_app_sink_pull_sample(sink))
            session->service->frameArrived(*session, sample);
        return GST_FLOW_OK;
    };
    gst_app_sink_set_callbacks(GST_APP_SINK(sink), &callbacks, session.get(), nullptr);
    gst_object_unref(sink);

    // Frames the receiver will not analyse stop here, before they are decoded or converted.
    GstElement* rateElement = gst_bin_get_by_name(GST_BIN(pipeline), "rate");
    GstPad* ratePad = gst_element_get_static_pad(rateElement, "sink");
    gst_pad_add_probe(
        ratePad, GstPadProbeType(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_EVENT_DOWNSTREAM),
        [](GstPad* pad, GstPadProbeInfo* info, gpointer data) {
            auto* session = static_cast<Session*>(data);
            if (GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER)
                stamp(pad, info, session->lastStamp, session->pipeline);
            else
                timeSegment(info);
            return GST_PAD_PROBE_OK;
        },
        session.get(), nullptr);
    gst_object_unref(ratePad);
    GstPad* gatePad = gst_element_get_static_pad(rateElement, "src");
    gst_pad_add_probe(
        gatePad, GST_PAD_PROBE_TYPE_BUFFER,
        [](GstPad* pad, GstPadProbeInfo* info, gpointer data) {
            auto* session = static_cast<Session*>(data);
            const double time = captureTime(pad, GST_PAD_PROBE_INFO_BUFFER(info));
            return session->gate.pass(time, session->service->frameInterval_) ? GST_PAD_PROBE_OK
                                                                              : GST_PAD_PROBE_DROP;
        },
        session.get(), nullptr);
    gst_object_unref(gatePad);
    gst_object_unref(rateElement);
    return session;
}

// Runs the pipeline and waits for its first frame. A live pipeline reaches PLAYING only then; a
// pipeline of files does so on an end of stream too, which is no start.
bool CameraService::play(Session& session, std::string& error) {
    session.phase = Session::Phase::starting;
    session.lastStamp = GST_CLOCK_TIME_NONE;
    session.frameSeen = false;
    session.takeSetupError();
    auto fail = [&](const std::string& fallback) {
        auto noted = session.takeSetupError();
        error = noted.empty() ? fallback : noted;
        gst_element_set_state(session.pipeline, GST_STATE_NULL);
        return false;
    };

    auto result = gst_element_set_state(session.pipeline, GST_STATE_PAUSED);
    if (result == GST_STATE_CHANGE_FAILURE) return fail("the pipeline cannot pause");
    // A source that is not live (files) is played at its own pace instead of as fast as it decodes.
    GstElement* sink = gst_bin_get_by_name(GST_BIN(session.pipeline), "frames");
    g_object_set(sink, "sync", result != GST_STATE_CHANGE_NO_PREROLL, nullptr);
    gst_object_unref(sink);

    if (gst_element_set_state(session.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        return fail("the pipeline cannot play");
    double deadline = uptime() + options_.startTimeout;
    for (;;) {
        GstState state = GST_STATE_NULL;
        result = gst_element_get_state(session.pipeline, &state, nullptr, 50 * GST_MSECOND);
        if (result == GST_STATE_CHANGE_FAILURE) return fail("the pipeline cannot play");
        if (result != GST_STATE_CHANGE_ASYNC && state == GST_STATE_PLAYING && session.frameSeen) break;
        {
            std::lock_guard lock(session.mutex);
            if (!session.setupError.empty()) break;
        }
        if (uptime() > deadline) break;
    }
    GstState state = GST_STATE_NULL;
    gst_element_get_state(session.pipeline, &state, nullptr, 0);
    auto noted = session.takeSetupError();
    if (!noted.empty() || state != GST_STATE_PLAYING || !session.frameSeen) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", options_.startTimeout);
        return fail(noted.empty() ? "no frame within " + std::string(seconds) + " s" : noted);
    }
    session.lastFrame = uptime();
    session.phase = Session::Phase::running;
    return true;
}

// On the thread that noticed: the bus's poster, or the watchdog on the session queue.
void CameraService::runtimeError(const std::shared_ptr<Session>& session, const std::string& description) {
    auto running = Session::Phase::running;
    if (!session->phase.compare_exchange_strong(running, Session::Phase::failed)) return;
    log_.error("Capture runtime error: " + description);
    sessionQueue_.postAfter(restartDelay, [this, weak = std::weak_ptr(session)] { restart(weak); });
}

void CameraService::restart(const std::weak_ptr<Session>& weak) {
    auto session = weak.lock();
    if (!session || session != session_ || session->phase != Session::Phase::failed) return;
    gst_element_set_state(session->pipeline, GST_STATE_NULL);
    std::string error;
    if (play(*session, error)) {
        log_.info("Camera restarted");
        return;
    }
    // Unplugged, or still broken: say so, so that the next start opens the camera afresh.
    session->phase = Session::Phase::failed;
    log_.error("Camera restart failed: " + error);
    report(false);
}

// A hung camera sends no error, only no frames: a stall counts as a runtime error.
void CameraService::watch(const std::weak_ptr<Session>& weak) {
    auto session = weak.lock();
    if (!session || session != session_) return;
    double silent = uptime() - session->lastFrame;
    if (session->phase == Session::Phase::running && silent > options_.stallTimeout) {
        char text[64];
        std::snprintf(text, sizeof text, "no frame for %.1f s", silent);
        runtimeError(session, text);
    }
    sessionQueue_.postAfter(1.0, [this, weak] { watch(weak); });
}

void CameraService::report(bool running) {
    main_.post([this, alive = std::weak_ptr(alive_), running] {
        if (alive.lock() && onStateChange) onStateChange(running);
    });
}

// On the streaming thread. The newest frame goes into the one-slot mailbox unless a frame is still
// waiting there or being handled: then it is dropped, so a slow consumer never works on a backlog.
void CameraService::frameArrived(Session& session, void* opaque) {
    auto* sample = static_cast<GstSample*>(opaque);
    session.lastFrame = uptime();
    session.frameSeen = true;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    if (!buffer || frameBusy_.exchange(true)) {
        gst_sample_unref(sample);
        return;
    }
    double time = uptime();
    GstClockTime pts = GST_BUFFER_PTS(buffer);
    const GstSegment* segment = gst_sample_get_segment(sample);
    if (GST_CLOCK_TIME_IS_VALID(pts) && segment) {
        guint64 running = gst_segment_to_running_time(segment, GST_FORMAT_TIME, pts);
        if (GST_CLOCK_TIME_IS_VALID(running))
            time = double(gst_element_get_base_time(session.pipeline) + running) / GST_SECOND;
    }
    frameQueue_.post([this, sample, time] { deliver(sample, time); });
}

void CameraService::deliver(void* opaque, double time) {
    auto* sample = static_cast<GstSample*>(opaque);
    GstVideoInfo info;
    GstVideoFrame frame;
    if (onFrame && gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
        gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
        FrameView view;
        view.width = GST_VIDEO_FRAME_WIDTH(&frame);
        view.height = GST_VIDEO_FRAME_HEIGHT(&frame);
        view.y = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
        view.yStride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
        view.uv = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 1));
        view.uvStride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 1);
        onFrame(view, time);
        gst_video_frame_unmap(&frame);
    }
    gst_sample_unref(sample);
    frameBusy_ = false;
}

} // namespace orvane
