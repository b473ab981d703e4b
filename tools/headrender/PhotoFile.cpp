#include "headrender/PhotoFile.h"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

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

} // namespace orvane::headrender
