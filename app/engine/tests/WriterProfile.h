#pragma once

// The profiles that the crash test's writer program saves: each number gives a distinct profile
// that can be recognised (and rebuilt) from its camera ID.

#include "core/CalibrationProfile.h"

#include <charconv>
#include <chrono>
#include <optional>
#include <string>

namespace orvane::test {

// Even numbers use displays {A, B}, odd ones {A, B, C}; the click count grows with the number.
inline CalibrationProfile writerProfile(long long number) {
    std::vector<CalibrationProfile::Display> displays = {{"A", "Left"}, {"B", "Right"}};
    if (number % 2 != 0) displays.push_back({"C", "Third"});
    const WallTime base = WallTime{} + std::chrono::seconds(1'700'000'000 + number);

    auto sample = [&](long long i, const std::string& screen, LabeledSample::Source source) {
        HeadPose pose{0.001 * double(i), -0.002 * double(i), 0.1, 0.5, 0.4, 0.2 + 1e-9 * double(number)};
        return LabeledSample{pose, screen, source, base + std::chrono::seconds(i)};
    };
    std::vector<LabeledSample> calibration, clicks;
    for (long long i = 0; i < 20; ++i)
        calibration.push_back(
            sample(i, displays[std::size_t(i) % displays.size()].id, LabeledSample::Source::calibration));
    for (long long i = 0; i < 1 + number % 400; ++i)
        clicks.push_back(
            sample(i, displays[std::size_t(i) % displays.size()].id, LabeledSample::Source::click));
    return CalibrationProfile(displays, "writer-" + std::to_string(number), base, calibration, clicks);
}

// The number a writer profile was made from, read from its camera ID.
inline std::optional<long long> writerNumber(const CalibrationProfile& profile) {
    const std::string prefix = "writer-";
    if (!profile.cameraID.starts_with(prefix)) return std::nullopt;
    long long number = 0;
    const char* first = profile.cameraID.data() + prefix.size();
    const char* last = profile.cameraID.data() + profile.cameraID.size();
    auto [end, error] = std::from_chars(first, last, number);
    if (error != std::errc() || end != last) return std::nullopt;
    return number;
}

} // namespace orvane::test
