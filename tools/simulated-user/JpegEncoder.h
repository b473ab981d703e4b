#pragma once

#include <cstdint>
#include <opencv2/core.hpp>
#include <span>

namespace orvane::simulated {

// Pictures to JPEG with libjpeg-turbo, 4:2:0 as webcams send them. Keeps its buffer between pictures.
class JpegEncoder {
  public:
    explicit JpegEncoder(int quality = 85);
    ~JpegEncoder();
    JpegEncoder(const JpegEncoder&) = delete;
    JpegEncoder& operator=(const JpegEncoder&) = delete;

    // The 8-bit RGB picture as JPEG, valid until the next call; empty when encoding failed.
    std::span<const std::uint8_t> encode(const cv::Mat& rgb);

  private:
    void* handle_ = nullptr;
    unsigned char* buffer_ = nullptr;
    unsigned long capacity_ = 0;
    int quality_;
};

} // namespace orvane::simulated
