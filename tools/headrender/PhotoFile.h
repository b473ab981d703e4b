#pragma once

#include <cstdint>
#include <filesystem>
#include <opencv2/core.hpp>

namespace orvane::headrender {

// The photo the head is made from, fetched at set-up by scripts/fetch-test-photos.
std::filesystem::path defaultPhotoPath();

// An image file as 8-bit RGB, decoded with GStreamer (OpenCV's codecs would pull in tens of megabytes);
// empty when it cannot be read.
cv::Mat loadPhoto(const std::filesystem::path& path);

// A plain wall behind a head: mid-grey with soft blotches and a little grain, 8-bit RGB, the same for a
// given seed.
cv::Mat wall(cv::Size size, std::uint64_t seed = 7);

} // namespace orvane::headrender
