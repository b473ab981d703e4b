#pragma once

// The profiles that the crash test's writer program saves: each number gives a distinct profile,
// rebuilt from the number in its camera ID.

#include "core/CalibrationProfile.h"

#include <string>

namespace orvane::test {

// Even numbers use displays {A, B}, odd ones {A, B, C}; the click count grows with the number.
inline CalibrationProfile writerProfile(long long number) {
    std::vector<CalibrationProfile::Display> displays = {{"A", "Left"}, {"B", "Right"}};
    if (number % 2 != 0) displays.push_back({"C", "Third"});
    const WallTime base = WallTime{} + std::chrono::seconds(1'700'000'000 + number);
    std::vector<LabeledSample> calibration, clicks;
    for (long long i = 0; i < 20 + 1 + number % 400; ++i) {
        HeadPose pose{0.001 * double(i), -0.002 * double(i), 0.1, 0.5, 0.4, 0.2 + 1e-9 * double(number)};
        auto source = i < 20 ? LabeledSample::Source::calibration : LabeledSample::Source::click;
        (i < 20 ? calibration : clicks)
            .push_back({pose, displays[std::size_t(i) % displays.size()].id, source,
                        base + std::chrono::seconds(i)});
    }
    return CalibrationProfile(displays, "writer-" + std::to_string(number), base, calibration, clicks);
}

} // namespace orvane::test
