#include "core/CalibrationProfile.h"

#include "core/JsonStream.h"

#include <algorithm>
#include <array>
#include <limits>

namespace orvane {

std::string_view toString(LabeledSample::Source source) {
    return source == LabeledSample::Source::click ? "click" : "calibration";
}

CalibrationProfile::CalibrationProfile(std::vector<Display> displays, std::string cameraID,
                                       WallTime calibratedAt, std::vector<LabeledSample> calibrationSamples,
                                       std::vector<LabeledSample> clickSamples)
    : displays(std::move(displays)), cameraID(std::move(cameraID)), calibratedAt(calibratedAt),
      calibrationSamples(std::move(calibrationSamples)), clickSamples(std::move(clickSamples)) {}

std::vector<std::string> CalibrationProfile::screenIDs() const {
    std::vector<std::string> ids;
    ids.reserve(displays.size());
    for (const auto& display : displays)
        ids.push_back(display.id);
    return ids;
}

std::vector<LabeledSample> CalibrationProfile::allSamples() const {
    std::vector<LabeledSample> samples;
    samples.reserve(calibrationSamples.size() + clickSamples.size());
    samples.insert(samples.end(), calibrationSamples.begin(), calibrationSamples.end());
    samples.insert(samples.end(), clickSamples.begin(), clickSamples.end());
    return samples;
}

void CalibrationProfile::addClick(const LabeledSample& sample, int limitPerScreen) {
    clickSamples.push_back(sample);
    const std::string& screen = clickSamples.back().screenID;

    long long count = 0;
    const LabeledSample* oldest = nullptr;
    for (const auto& click : clickSamples) {
        if (click.screenID != screen) continue;
        ++count;
        if (!oldest || click.time < oldest->time) oldest = &click;
    }
    if (count == 0 || count <= limitPerScreen) return;

    // One removal per call: a screen above a lowered limit shrinks by one click at a time.
    auto first = std::find(clickSamples.begin(), clickSamples.end(), *oldest);
    clickSamples.erase(first);
}

std::string CalibrationProfile::key(std::vector<std::string> screenIDs) {
    // std::string compares as unsigned bytes, which for UTF-8 is the order of Unicode scalar values.
    std::sort(screenIDs.begin(), screenIDs.end());
    std::string joined;
    for (std::size_t i = 0; i < screenIDs.size(); ++i) {
        if (i > 0) joined += '+';
        joined += screenIDs[i];
    }
    return joined;
}

namespace {

using json::Path;
using json::Reader;
using json::Writer;

// A found string as it appears in an error message: quoted, escaped, and cut short when long.
std::string shown(const std::string& text) {
    constexpr std::size_t longest = 40;
    if (text.size() <= longest) return json::dump(text);
    return json::dump(text.substr(0, longest)) + "...";
}

// The index of `key` among `keys`, or keys.size() for a key that is not ours.
template <std::size_t N>
std::size_t indexOf(const std::array<std::string_view, N>& keys, std::string_view key) {
    return std::size_t(std::find(keys.begin(), keys.end(), key) - keys.begin());
}

// Every key is required; the first one missing, in field order, is the one reported.
template <std::size_t N>
void requireAll(const std::array<std::string_view, N>& keys, unsigned seen, const Path& path) {
    for (std::size_t i = 0; i < N; ++i)
        if (!(seen & 1u << i)) throw JsonError(path.member(keys[i]).text(), "missing");
}

// The pose's members in field order, for writing and reading.
constexpr std::array<std::string_view, 6> poseKeys = {"yaw", "pitch", "roll", "faceX", "faceY", "faceSize"};

// Writing

void writeDateTime(Writer& out, WallTime time, const Path& path) {
    std::string text = formatDateTime(time);
    // Never store a time that could not be read back: the whole profile would be lost.
    if (!parseDateTime(text))
        throw JsonError(path.text(), "date-time " + text + " is outside the storable years");
    out.string(text);
}

void writePose(Writer& out, const HeadPose& pose, const Path& path) {
    const double values[] = {pose.yaw, pose.pitch, pose.roll, pose.faceX, pose.faceY, pose.faceSize};
    out.beginObject();
    for (std::size_t i = 0; i < poseKeys.size(); ++i) {
        out.key(poseKeys[i]);
        out.number(values[i], path.member(poseKeys[i]));
    }
    out.endObject();
}

void writeSamples(Writer& out, const std::vector<LabeledSample>& samples, const Path& path) {
    out.beginArray();
    for (std::size_t i = 0; i < samples.size(); ++i) {
        Path sample = path.element(i);
        out.beginObject();
        out.key("pose");
        writePose(out, samples[i].pose, sample.member("pose"));
        out.key("screenID");
        out.string(samples[i].screenID);
        out.key("source");
        out.string(toString(samples[i].source));
        out.key("time");
        writeDateTime(out, samples[i].time, sample.member("time"));
        out.endObject();
    }
    out.endArray();
}

// Reading

WallTime readDateTime(Reader& in, std::string& scratch, const Path& path) {
    in.readString(scratch, path);
    auto time = parseDateTime(scratch);
    if (!time)
        throw JsonError(path.text(),
                        "expected a date-time like \"2025-03-14T09:26:53Z\", found " + shown(scratch));
    return *time;
}

HeadPose readPose(Reader& in, const Path& path) {
    const auto& keys = poseKeys;
    HeadPose pose;
    double* fields[] = {&pose.yaw, &pose.pitch, &pose.roll, &pose.faceX, &pose.faceY, &pose.faceSize};
    unsigned seen = 0;
    in.beginObject(path);
    while (in.nextMember()) {
        std::size_t i = indexOf(keys, in.key());
        if (i == keys.size()) {
            in.skipValue();
            continue;
        }
        *fields[i] = in.readNumber(path.member(keys[i]));
        seen |= 1u << i;
    }
    requireAll(keys, seen, path);
    return pose;
}

LabeledSample readSample(Reader& in, std::string& scratch, const Path& path) {
    static constexpr std::array<std::string_view, 4> keys = {"pose", "screenID", "source", "time"};
    LabeledSample sample;
    unsigned seen = 0;
    in.beginObject(path);
    while (in.nextMember()) {
        std::size_t i = indexOf(keys, in.key());
        if (i == keys.size()) {
            in.skipValue();
            continue;
        }
        Path at = path.member(keys[i]);
        switch (i) {
        case 0:
            sample.pose = readPose(in, at);
            break;
        case 1:
            in.readString(sample.screenID, at);
            break;
        case 2:
            in.readString(scratch, at);
            if (scratch == "calibration")
                sample.source = LabeledSample::Source::calibration;
            else if (scratch == "click")
                sample.source = LabeledSample::Source::click;
            else
                throw JsonError(at.text(), "expected \"calibration\" or \"click\", found " + shown(scratch));
            break;
        case 3:
            sample.time = readDateTime(in, scratch, at);
            break;
        }
        seen |= 1u << i;
    }
    requireAll(keys, seen, path);
    return sample;
}

std::vector<LabeledSample> readSamples(Reader& in, std::string& scratch, const Path& path) {
    std::vector<LabeledSample> samples;
    in.beginArray(path);
    while (in.nextElement())
        samples.push_back(readSample(in, scratch, path.element(samples.size())));
    return samples;
}

CalibrationProfile::Display readDisplay(Reader& in, const Path& path) {
    static constexpr std::array<std::string_view, 2> keys = {"id", "name"};
    CalibrationProfile::Display display;
    unsigned seen = 0;
    in.beginObject(path);
    while (in.nextMember()) {
        std::size_t i = indexOf(keys, in.key());
        if (i == keys.size()) {
            in.skipValue();
            continue;
        }
        in.readString(i == 0 ? display.id : display.name, path.member(keys[i]));
        seen |= 1u << i;
    }
    requireAll(keys, seen, path);
    return display;
}

CalibrationProfile readProfile(Reader& in) {
    static constexpr std::array<std::string_view, 6> keys = {
        "version", "displays", "cameraID", "calibratedAt", "calibrationSamples", "clickSamples"};
    const Path root;
    CalibrationProfile profile;
    std::string scratch;
    unsigned seen = 0;
    in.beginObject(root);
    while (in.nextMember()) {
        std::size_t i = indexOf(keys, in.key());
        if (i == keys.size()) {
            in.skipValue();
            continue;
        }
        Path at = root.member(keys[i]);
        switch (i) {
        case 0: {
            long long version = in.readInteger(at);
            if (version < std::numeric_limits<int>::min() || version > std::numeric_limits<int>::max())
                throw JsonError(at.text(), "integer out of range");
            profile.version = int(version);
            break;
        }
        case 1:
            profile.displays.clear();
            in.beginArray(at);
            while (in.nextElement())
                profile.displays.push_back(readDisplay(in, at.element(profile.displays.size())));
            break;
        case 2:
            in.readString(profile.cameraID, at);
            break;
        case 3:
            profile.calibratedAt = readDateTime(in, scratch, at);
            break;
        case 4:
            profile.calibrationSamples = readSamples(in, scratch, at);
            break;
        case 5:
            profile.clickSamples = readSamples(in, scratch, at);
            break;
        }
        seen |= 1u << i;
    }
    requireAll(keys, seen, root);
    return profile;
}

} // namespace

JsonResult<std::string> encodeProfile(const CalibrationProfile& profile) {
    return json::capture<std::string>([&] {
        const Path root;
        std::size_t samples = profile.calibrationSamples.size() + profile.clickSamples.size();
        Writer out(512 + 300 * samples);
        out.beginObject();
        out.key("version");
        out.integer(profile.version);
        out.key("displays");
        out.beginArray();
        for (const auto& display : profile.displays) {
            out.beginObject();
            out.key("id");
            out.string(display.id);
            out.key("name");
            out.string(display.name);
            out.endObject();
        }
        out.endArray();
        out.key("cameraID");
        out.string(profile.cameraID);
        out.key("calibratedAt");
        writeDateTime(out, profile.calibratedAt, root.member("calibratedAt"));
        out.key("calibrationSamples");
        writeSamples(out, profile.calibrationSamples, root.member("calibrationSamples"));
        out.key("clickSamples");
        writeSamples(out, profile.clickSamples, root.member("clickSamples"));
        out.endObject();
        return out.take();
    });
}

JsonResult<CalibrationProfile> decodeProfile(std::string_view text) {
    return json::capture<CalibrationProfile>([&] {
        Reader in(text);
        CalibrationProfile profile = readProfile(in);
        in.finish();
        return profile;
    });
}

} // namespace orvane
