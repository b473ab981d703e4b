#pragma once

#include "core/DateTime.h"
#include "core/HeadPose.h"
#include "core/Json.h"

#include <string>
#include <vector>

namespace orvane {

// One observation to learn from: a pose and the display the user was looking at.
struct LabeledSample {
    enum class Source { calibration, click };

    HeadPose pose;
    std::string screenID;
    Source source = Source::calibration;
    WallTime time;

    bool operator==(const LabeledSample&) const = default;
};

// "calibration" or "click".
std::string_view toString(LabeledSample::Source source);

// The persistent training set of one arrangement of displays.
struct CalibrationProfile {
    struct Display {
        std::string id;
        std::string name;
        bool operator==(const Display&) const = default;
    };

    static constexpr int currentVersion = 1;

    int version = currentVersion;
    std::vector<Display> displays;
    std::string cameraID;
    WallTime calibratedAt;
    std::vector<LabeledSample> calibrationSamples;
    std::vector<LabeledSample> clickSamples;

    CalibrationProfile() = default;
    CalibrationProfile(std::vector<Display> displays, std::string cameraID, WallTime calibratedAt,
                       std::vector<LabeledSample> calibrationSamples,
                       std::vector<LabeledSample> clickSamples);

    std::vector<std::string> screenIDs() const;
    // Calibration samples first, then clicks, each in stored order: the training set.
    std::vector<LabeledSample> allSamples() const;

    // Stores a click and keeps that screen's clicks within the limit by dropping its oldest one.
    void addClick(const LabeledSample& sample, int limitPerScreen);

    // Sorted IDs joined by "+": the same set of displays always gives the same key.
    static std::string key(std::vector<std::string> screenIDs);

    bool operator==(const CalibrationProfile&) const = default;
};

// The stored form: compact JSON, fields in declaration order, times in whole seconds.
// Fails as a whole (never writes null), naming the key, when a number is not finite or a time
// lies outside the years that can be read back.
JsonResult<std::string> encodeProfile(const CalibrationProfile& profile);
// A complete profile or the first error, naming the key that failed and why.
JsonResult<CalibrationProfile> decodeProfile(std::string_view text);

} // namespace orvane
