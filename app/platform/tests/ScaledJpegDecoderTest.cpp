#include "platform/ScaledJpegDecoder.h"

#include "desk/TemporaryFolder.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <gtest/gtest.h>
#include <string>
#include <vector>

using namespace orvane;
namespace fs = std::filesystem;

namespace {

// The picture numbered `index` (from 0) that a pipeline ending in "appsink name=sink" gives: its caps and its
// luma plane.
struct Picture {
    std::string format;
    int width = 0, height = 0;
    std::string range; // the colorimetry's range, as GStreamer names it
    std::vector<std::uint8_t> luma;
};

std::optional<Picture> picture(const std::string& description, int index) {
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
    if (error) {
        ADD_FAILURE() << error->message;
        return std::nullopt;
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    std::optional<Picture> picture;
    GstSample* sample = nullptr;
    for (int i = 0; i <= index; ++i) {
        if (sample) gst_sample_unref(sample);
        sample = gst_app_sink_try_pull_sample(GST_APP_SINK(sink), 10 * GST_SECOND);
    }
    if (sample) {
        GstVideoInfo info;
        GstVideoFrame frame;
        if (gst_video_info_from_caps(&info, gst_sample_get_caps(sample)) &&
            gst_video_frame_map(&frame, &info, gst_sample_get_buffer(sample), GST_MAP_READ)) {
            Picture p{gst_video_format_to_string(GST_VIDEO_INFO_FORMAT(&info)),
                      info.width,
                      info.height,
                      info.colorimetry.range == GST_VIDEO_COLOR_RANGE_0_255 ? "full" : "limited",
                      {}};
            const auto* y = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
            const int stride = GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0);
            for (int row = 0; row < p.height; ++row)
                p.luma.insert(p.luma.end(), y + row * stride, y + row * stride + p.width);
            picture = std::move(p);
            gst_video_frame_unmap(&frame);
        }
        gst_sample_unref(sample);
    }
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return picture;
}

// Writes one JPEG picture of the SMPTE pattern (sharp edges and colour bars) at a size and sampling.
void writeJpeg(const fs::path& file, int width, int height, const std::string& format) {
    const std::string description =
        "videotestsrc num-buffers=1 pattern=smpte ! video/x-raw,width=" + std::to_string(width) +
        ",height=" + std::to_string(height) + " ! videoconvert ! video/x-raw,format=" + format +
        " ! jpegenc quality=90 ! filesink location=" + file.string();
    GstElement* pipeline = gst_parse_launch(description.c_str(), nullptr);
    ASSERT_TRUE(pipeline);
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    GstBus* bus = gst_element_get_bus(pipeline);
    if (GstMessage* message = gst_bus_timed_pop_filtered(bus, 10 * GST_SECOND,
                                                         GstMessageType(GST_MESSAGE_EOS | GST_MESSAGE_ERROR)))
        gst_message_unref(message);
    gst_object_unref(bus);
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(pipeline);
}

struct ScaledJpegDecoderTest : ::testing::Test {
    test::TemporaryFolder folder;
    ScaledJpegDecoderTest() {
        gst_init(nullptr, nullptr);
        EXPECT_TRUE(ScaledJpegDecoder::registerElement());
    }
};

} // namespace

// The smallest DCT scale (n/8) that still covers 640x360, in the picture's own sampling, giving the picture
// that decoding whole and scaling gives (up to resampling differences at the edges), also after a picture of
// another size or sampling. As with jpegdec, a broken picture before them costs that frame only; a camera
// that sends nothing else is caught by the camera service's stall watchdog.
TEST_F(ScaledJpegDecoderTest, DropsABrokenPictureAndDecodesTheNextAtTheSmallestScaleThatCoversTheFrame) {
    struct Case {
        int width, height;
        const char* input; // raw format given to the encoder, which sets the JPEG's sampling
        int outWidth, outHeight;
        const char* output;
    };
    const Case cases[] = {
        {1280, 720, "I420", 640, 360, "I420"},   // 1/2
        {1280, 720, "Y42B", 640, 360, "Y42B"},   // the usual webcam's 4:2:2
        {1280, 720, "GRAY8", 640, 360, "GRAY8"}, // an infrared or monochrome camera
        {1920, 1080, "I420", 720, 405, "I420"},  // 3/8
        {2560, 1440, "Y444", 640, 360, "Y444"},  // 2/8
        {1280, 960, "I420", 640, 480, "I420"},   // 4:3, cropped later
        {640, 480, "I420", 640, 480, "I420"},    // already small: whole
        {320, 240, "I420", 320, 240, "I420"},    // smaller still: whole, never enlarged
    };
    for (const auto& c : cases) {
        const std::string name = std::to_string(c.width) + "x" + std::to_string(c.height) + c.input;
        SCOPED_TRACE(name);
        fs::create_directories(folder / name);
        std::ofstream(folder / name / "frame000.jpg") << std::string(4096, 'x');
        writeJpeg(folder / name / "frame001.jpg", 1280, 720, "I420");
        writeJpeg(folder / name / "frame002.jpg", c.width, c.height, c.input);
        const std::string source =
            "multifilesrc location=" + (folder / name / "frame%03d.jpg").string() + " caps=image/jpeg ! ";
        const auto scaled = picture(source + ScaledJpegDecoder::elementName + " ! appsink name=sink", 1);
        const auto whole =
            picture(source + "jpegdec ! videoscale ! video/x-raw,width=" + std::to_string(c.outWidth) +
                        ",height=" + std::to_string(c.outHeight) + " ! appsink name=sink",
                    1);
        ASSERT_TRUE(scaled && whole);
        EXPECT_EQ(scaled->width, c.outWidth);
        EXPECT_EQ(scaled->height, c.outHeight);
        EXPECT_EQ(scaled->format, c.output);
        EXPECT_EQ(scaled->range, "full"); // JPEG's YCbCr, as jpegdec declares it
        ASSERT_EQ(scaled->luma.size(), whole->luma.size());
        double difference = 0;
        for (std::size_t i = 0; i < scaled->luma.size(); ++i)
            difference += std::abs(int(scaled->luma[i]) - int(whole->luma[i]));
        EXPECT_LT(difference / double(scaled->luma.size()), 3.0);
    }
}
