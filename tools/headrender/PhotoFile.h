#pragma once

#include <filesystem>
#include <opencv2/core.hpp>

namespace orvane::headrender {

// The photo the head is made from, fetched at set-up by scripts/fetch-test-photos.
std::filesystem::path defaultPhotoPath();

// An image file as 8-bit RGB, decoded with GStreamer (OpenCV's codecs would pull in tens of megabytes);
// empty when it cannot be read.
cv::Mat loadPhoto(const std::filesystem::path& path);

} // namespace orvane::headrender
