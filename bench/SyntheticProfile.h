#pragma once

// Realistic calibration profiles for benchmarks: displays side by side about 35 degrees apart in yaw,
// head poses with a few degrees of noise, a full calibration run and clicks on every display.

#include "core/CalibrationProfile.h"

#include <random>
#include <string>

namespace orvane::bench {

inline std::string displayUUID(int index) {
    char text[40];
    std::snprintf(text, sizeof text, "%08X-0000-4000-8000-%012X", 0x1F2E3D4C + index, 0xABCDEF + index);
    return text;
}

inline CalibrationProfile syntheticProfile(int displayCount, int calibrationPerDisplay, int clicksPerDisplay,
                                           unsigned seed = 7) {
    std::mt19937 random(seed);
    std::normal_distribution<double> noise(0.0, radians(2.0));
    std::normal_distribution<double> drift(0.0, 0.01);
    WallTime start = WallTime{} + std::chrono::seconds(1'765'000'000);

    CalibrationProfile profile;
    profile.cameraID = "usb:046d:0825:ABCDEF12/if00/idx0";
    profile.calibratedAt = start;
    for (int d = 0; d < displayCount; ++d) {
        profile.displays.push_back({displayUUID(d), "Display " + std::to_string(d + 1)});
        double yaw = radians(35.0 * (d - (displayCount - 1) / 2.0));
        auto sample = [&](LabeledSample::Source source, int i) {
            HeadPose pose{yaw + noise(random), radians(-8.0) + noise(random), noise(random),
                          0.5 + drift(random),  0.45 + drift(random),           0.23 + drift(random)};
            return LabeledSample{pose, displayUUID(d), source, start + std::chrono::seconds(i)};
        };
        for (int i = 0; i < calibrationPerDisplay; ++i)
            profile.calibrationSamples.push_back(sample(LabeledSample::Source::calibration, i));
        for (int i = 0; i < clicksPerDisplay; ++i)
            profile.clickSamples.push_back(sample(LabeledSample::Source::click, 3600 + i * 60));
    }
    return profile;
}

} // namespace orvane::bench
