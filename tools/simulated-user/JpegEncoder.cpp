#include "simulated-user/JpegEncoder.h"

#include <cstdio>
#include <turbojpeg.h>

namespace orvane::simulated {

JpegEncoder::JpegEncoder(int quality) : handle_(tjInitCompress()), quality_(quality) {}

JpegEncoder::~JpegEncoder() {
    if (buffer_) tjFree(buffer_);
    if (handle_) tjDestroy(handle_);
}

std::span<const std::uint8_t> JpegEncoder::encode(const cv::Mat& rgb) {
    if (!handle_ || rgb.type() != CV_8UC3) return {};
    // A buffer for the largest JPEG this size can give, so that encoding never reallocates.
    const unsigned long needed = tjBufSize(rgb.cols, rgb.rows, TJSAMP_420);
    if (capacity_ < needed) {
        if (buffer_) tjFree(buffer_);
        buffer_ = tjAlloc(int(needed));
        capacity_ = buffer_ ? needed : 0;
    }
    unsigned long size = capacity_;
    if (!buffer_ || tjCompress2(handle_, rgb.data, rgb.cols, int(rgb.step), rgb.rows, TJPF_RGB, &buffer_,
                                &size, TJSAMP_420, quality_, TJFLAG_FASTDCT | TJFLAG_NOREALLOC) != 0) {
        std::fprintf(stderr, "orvane-simulated-user: JPEG encoding failed: %s\n", tjGetErrorStr2(handle_));
        return {};
    }
    return {buffer_, size};
}

} // namespace orvane::simulated
