#include "headrender/PhotoFile.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <opencv2/imgproc.hpp>

namespace orvane::headrender {

std::filesystem::path defaultPhotoPath() {
    return std::filesystem::path(ORVANE_SOURCE_DIR) / ".cache" / "photos" / "skimage" / "astronaut.png";
}

cv::Mat loadPhoto(const std::filesystem::path& path) {
    if (!std::filesystem::is_regular_file(path)) return {};
    gst_init(nullptr, nullptr);
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch("filesrc name=source ! decodebin ! videoconvert ! "
                                            "video/x-raw,format=RGB ! appsink name=sink sync=false",
                                            &error);
    if (!pipeline || error) {
        g_clear_error(&error);
        if (pipeline) gst_object_unref(pipeline);
        return {};
    }
    GstElement* source = gst_bin_get_by_name(GST_BIN(pipeline), "source");
    g_object_set(source, "location", path.c_str(), nullptr);
    gst_object_unref(source);
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    cv::Mat photo;
    // None within the time when the file is no image (decoding stopped with an error).
    if (GstSample* sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND)) {
        GstVideoInfo info;
        GstMapInfo map;
        GstBuffer* buffer = gst_sample_get_buffer(sample);
        if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
            gst_buffer_map(buffer, &map, GST_MAP_READ)) {
            cv::Mat(info.height, info.width, CV_8UC3, map.data, std::size_t(info.stride[0])).copyTo(photo);
            gst_buffer_unmap(buffer, &map);
        }
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return photo;
}

cv::Mat wall(cv::Size size, std::uint64_t seed) {
    cv::RNG rng(seed);
    cv::Mat coarse(9, 16, CV_8UC1);
    rng.fill(coarse, cv::RNG::NORMAL, cv::Scalar(120), cv::Scalar(25));
    cv::Mat smooth, result;
    cv::resize(coarse, smooth, size, 0, 0, cv::INTER_CUBIC);
    cv::cvtColor(smooth, result, cv::COLOR_GRAY2RGB);
    cv::Mat grain(size, CV_8UC3);
    rng.fill(grain, cv::RNG::NORMAL, cv::Scalar::all(0), cv::Scalar::all(4));
    cv::add(result, grain, result, cv::noArray(), CV_8UC3);
    return result;
}

} // namespace orvane::headrender
