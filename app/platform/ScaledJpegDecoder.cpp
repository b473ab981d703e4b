#include "platform/ScaledJpegDecoder.h"

#include <gst/gst.h>
#include <gst/video/gstvideodecoder.h>
#include <gst/video/video.h>
#include <turbojpeg.h>

namespace orvane {

namespace {

struct Decoder {
    GstVideoDecoder parent;
    tjhandle jpeg;
    GstVideoCodecState* input;
};

struct DecoderClass {
    GstVideoDecoderClass parent;
};

Decoder* self(GstVideoDecoder* decoder) {
    return reinterpret_cast<Decoder*>(decoder);
}

// The smallest scale that keeps the picture at least minimumWidth x minimumHeight; a smaller
// picture is decoded whole.
tjscalingfactor chooseScale(int width, int height) {
    tjscalingfactor best{1, 1};
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num > f.denom) continue;
        if (TJSCALED(width, f) < ScaledJpegDecoder::minimumWidth ||
            TJSCALED(height, f) < ScaledJpegDecoder::minimumHeight)
            continue;
        if (TJSCALED(width, f) < TJSCALED(width, best)) best = f;
    }
    return best;
}

// Planar YUV in the picture's own subsampling, so that nothing is resampled here; RGB otherwise.
GstVideoFormat outputFormat(int subsampling, int colorspace) {
    if (colorspace == TJCS_YCbCr || colorspace == TJCS_GRAY) {
        switch (subsampling) {
        case TJSAMP_420:
            return GST_VIDEO_FORMAT_I420;
        case TJSAMP_422:
            return GST_VIDEO_FORMAT_Y42B;
        case TJSAMP_444:
            return GST_VIDEO_FORMAT_Y444;
        case TJSAMP_411:
            return GST_VIDEO_FORMAT_Y41B;
        case TJSAMP_GRAY:
            return GST_VIDEO_FORMAT_GRAY8;
        default:
            break;
        }
    }
    return GST_VIDEO_FORMAT_RGB;
}

// Sets the output caps when the first picture, or one of another size or layout, arrives.
bool negotiate(Decoder* decoder, GstVideoFormat format, int width, int height) {
    auto* video = &decoder->parent;
    if (GstVideoCodecState* current = gst_video_decoder_get_output_state(video)) {
        const bool same = GST_VIDEO_INFO_FORMAT(&current->info) == format &&
                          GST_VIDEO_INFO_WIDTH(&current->info) == width &&
                          GST_VIDEO_INFO_HEIGHT(&current->info) == height;
        gst_video_codec_state_unref(current);
        if (same) return true;
    }
    GstVideoCodecState* state =
        gst_video_decoder_set_output_state(video, format, width, height, decoder->input);
    // JPEG's YCbCr is full-range BT.601, as jpegdec declares it.
    state->info.colorimetry.range = GST_VIDEO_COLOR_RANGE_0_255;
    state->info.colorimetry.matrix =
        format == GST_VIDEO_FORMAT_RGB ? GST_VIDEO_COLOR_MATRIX_RGB : GST_VIDEO_COLOR_MATRIX_BT601;
    state->info.colorimetry.transfer = GST_VIDEO_TRANSFER_UNKNOWN;
    state->info.colorimetry.primaries = GST_VIDEO_COLOR_PRIMARIES_UNKNOWN;
    gst_video_codec_state_unref(state);
    return gst_video_decoder_negotiate(video);
}

// A picture that cannot be decoded is dropped; too many in a row become a stream error.
GstFlowReturn fail(GstVideoDecoder* video, GstVideoCodecFrame* frame, const char* reason) {
    GstFlowReturn result = GST_FLOW_OK;
    GST_VIDEO_DECODER_ERROR(video, 1, STREAM, DECODE, ("Failed to decode JPEG image"), ("%s", reason),
                            result);
    gst_video_decoder_drop_frame(video, frame);
    return result;
}

// libjpeg-turbo reports a warning (a missing end marker, as some cameras send) as a failure, with
// the picture decoded all the same.
bool decoded(tjhandle jpeg, int result) {
    return result == 0 || tjGetErrorCode(jpeg) == TJERR_WARNING;
}

GstFlowReturn decodeInto(Decoder* decoder, GstVideoCodecFrame* frame, const GstMapInfo& in) {
    auto* video = &decoder->parent;
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(decoder->jpeg, in.data, in.size, &width, &height, &subsampling, &colorspace) != 0)
        return fail(video, frame, tjGetErrorStr2(decoder->jpeg));
    if (colorspace == TJCS_CMYK || colorspace == TJCS_YCCK) return fail(video, frame, "CMYK pictures");

    const tjscalingfactor scale = chooseScale(width, height);
    const int scaledWidth = TJSCALED(width, scale), scaledHeight = TJSCALED(height, scale);
    const GstVideoFormat format = outputFormat(subsampling, colorspace);
    if (!negotiate(decoder, format, scaledWidth, scaledHeight)) {
        gst_video_decoder_drop_frame(video, frame);
        return GST_FLOW_NOT_NEGOTIATED;
    }
    if (GstFlowReturn result = gst_video_decoder_allocate_output_frame(video, frame); result != GST_FLOW_OK) {
        gst_video_decoder_drop_frame(video, frame);
        return result;
    }
    GstVideoCodecState* state = gst_video_decoder_get_output_state(video);
    GstVideoFrame out;
    const bool mapped = gst_video_frame_map(&out, &state->info, frame->output_buffer, GST_MAP_WRITE);
    gst_video_codec_state_unref(state);
    if (!mapped) return fail(video, frame, "the output buffer cannot be written");

    int result = 0;
    if (format == GST_VIDEO_FORMAT_RGB) {
        result = tjDecompress2(decoder->jpeg, in.data, in.size,
                               static_cast<unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&out, 0)), scaledWidth,
                               GST_VIDEO_FRAME_PLANE_STRIDE(&out, 0), scaledHeight, TJPF_RGB, TJFLAG_FASTDCT);
    } else {
        unsigned char* planes[3] = {};
        int strides[3] = {};
        for (guint i = 0; i < GST_VIDEO_FRAME_N_PLANES(&out); ++i) {
            planes[i] = static_cast<unsigned char*>(GST_VIDEO_FRAME_PLANE_DATA(&out, i));
            strides[i] = GST_VIDEO_FRAME_PLANE_STRIDE(&out, i);
        }
        result = tjDecompressToYUVPlanes(decoder->jpeg, in.data, in.size, planes, scaledWidth, strides,
                                         scaledHeight, TJFLAG_FASTDCT);
    }
    gst_video_frame_unmap(&out);
    if (!decoded(decoder->jpeg, result)) return fail(video, frame, tjGetErrorStr2(decoder->jpeg));
    return gst_video_decoder_finish_frame(video, frame);
}

GstFlowReturn handleFrame(GstVideoDecoder* video, GstVideoCodecFrame* frame) {
    // Held apart from the frame, which finishing or dropping releases.
    GstBuffer* input = gst_buffer_ref(frame->input_buffer);
    GstMapInfo in;
    GstFlowReturn result = GST_FLOW_OK;
    if (gst_buffer_map(input, &in, GST_MAP_READ)) {
        result = decodeInto(self(video), frame, in);
        gst_buffer_unmap(input, &in);
    } else {
        result = fail(video, frame, "unreadable buffer");
    }
    gst_buffer_unref(input);
    return result;
}

// Any JPEG picture: the base class would ask upstream for the sizes downstream takes, which a scaling
// decoder does not give.
GstCaps* sinkCaps(GstVideoDecoder* video, GstCaps* filter) {
    GstCaps* caps = gst_pad_get_pad_template_caps(GST_VIDEO_DECODER_SINK_PAD(video));
    if (!filter) return caps;
    GstCaps* both = gst_caps_intersect_full(filter, caps, GST_CAPS_INTERSECT_FIRST);
    gst_caps_unref(caps);
    return both;
}

gboolean setFormat(GstVideoDecoder* video, GstVideoCodecState* state) {
    auto* decoder = self(video);
    if (decoder->input) gst_video_codec_state_unref(decoder->input);
    decoder->input = gst_video_codec_state_ref(state);
    return TRUE;
}

gboolean start(GstVideoDecoder* video) {
    auto* decoder = self(video);
    if (!decoder->jpeg) decoder->jpeg = tjInitDecompress();
    return decoder->jpeg != nullptr;
}

gboolean stop(GstVideoDecoder* video) {
    auto* decoder = self(video);
    if (decoder->jpeg) tjDestroy(decoder->jpeg);
    decoder->jpeg = nullptr;
    if (decoder->input) gst_video_codec_state_unref(decoder->input);
    decoder->input = nullptr;
    return TRUE;
}

void initInstance(GTypeInstance* instance, gpointer) {
    auto* video = reinterpret_cast<GstVideoDecoder*>(instance);
    gst_video_decoder_set_packetized(video, TRUE);
    gst_video_decoder_set_use_default_pad_acceptcaps(video, TRUE);
    GST_PAD_SET_ACCEPT_TEMPLATE(GST_VIDEO_DECODER_SINK_PAD(video));
}

void initClass(gpointer klass, gpointer) {
    auto* element = GST_ELEMENT_CLASS(klass);
    static GstStaticPadTemplate sink =
        GST_STATIC_PAD_TEMPLATE("sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS("image/jpeg"));
    static GstStaticPadTemplate src = GST_STATIC_PAD_TEMPLATE(
        "src", GST_PAD_SRC, GST_PAD_ALWAYS,
        GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("{ I420, Y42B, Y444, Y41B, GRAY8, RGB }")));
    gst_element_class_add_static_pad_template(element, &sink);
    gst_element_class_add_static_pad_template(element, &src);
    gst_element_class_set_static_metadata(element, "Scaled JPEG decoder", "Codec/Decoder/Image",
                                          "Decodes JPEG pictures at a reduced size in the DCT", "Orvane");
    auto* video = GST_VIDEO_DECODER_CLASS(klass);
    video->start = start;
    video->stop = stop;
    video->set_format = setFormat;
    video->getcaps = sinkCaps;
    video->handle_frame = handleFrame;
}

GType decoderType() {
    static const GType type = [] {
        GTypeInfo info{};
        info.class_size = sizeof(DecoderClass);
        info.class_init = initClass;
        info.instance_size = sizeof(Decoder);
        info.instance_init = initInstance;
        return g_type_register_static(GST_TYPE_VIDEO_DECODER, "OrvaneScaledJpegDecoder", &info,
                                      GTypeFlags(0));
    }();
    return type;
}

} // namespace

bool ScaledJpegDecoder::registerElement() {
    static const bool registered = [] {
        gst_init(nullptr, nullptr);
        return gst_element_register(nullptr, elementName, GST_RANK_NONE, decoderType()) == TRUE;
    }();
    return registered;
}

} // namespace orvane
