#include "core/CalibrationProfile.h"

#include <cmath>
#include <cstdint>
#include <functional>
#include <gtest/gtest.h>
#include <tuple>

using namespace orvane;
using namespace std::chrono_literals;
using Source = LabeledSample::Source;
using J = json::Json;

namespace {

const WallTime base = WallTime{} + 1741944413s; // 2025-03-14T09:26:53Z

LabeledSample click(const std::string& screen, std::chrono::seconds offset, double yaw = 0) {
    return {HeadPose{yaw, 0, 0, 0.5, 0.5, 0.2}, screen, Source::click, base + offset};
}

CalibrationProfile sampleProfile() {
    CalibrationProfile profile({{"A", "Left"}, {"B", "Built-in \xe2\x80\x94 Retina"}}, "cam-1", base, {}, {});
    for (int i = 0; i < 3; ++i)
        profile.calibrationSamples.push_back({HeadPose{0.1 * i, -0.2, 0.01, 0.5, 0.4, 0.21},
                                              i % 2 ? "B" : "A", Source::calibration, base + 1s * i});
    profile.clickSamples.push_back({HeadPose{0.3, 0.1, 0, 0.45, 0.5, 0.2}, "B", Source::click, base + 60s});
    profile.clickSamples.push_back({HeadPose{-0.3, 0, 0, 0.55, 0.5, 0.2}, "A", Source::click, base + 61s});
    return profile;
}

J sampleJson() {
    return json::parse(*encodeProfile(sampleProfile()).value);
}

} // namespace

TEST(CalibrationProfile, ScreenIDsInDisplayOrderAllSamplesCalibrationFirstAndTheKeySorted) {
    LabeledSample calibration{HeadPose{}, "B", Source::calibration, base};
    CalibrationProfile profile({{"B", "Right"}, {"A", "Left"}}, "cam", base, {calibration},
                               {click("A", 2s), click("B", 1s)});
    EXPECT_EQ(profile.screenIDs(), (std::vector<std::string>{"B", "A"}));
    EXPECT_EQ(profile.allSamples(), (std::vector{calibration, click("A", 2s), click("B", 1s)}));
    // The key joins the IDs in byte order: upper case before lower case, non-ASCII (as UTF-8) last.
    EXPECT_EQ(CalibrationProfile::key(profile.screenIDs()), "A+B");
    EXPECT_EQ(CalibrationProfile::key({}), "");
    EXPECT_EQ(CalibrationProfile::key({"only"}), "only");
    EXPECT_EQ(CalibrationProfile::key({"\xc3\xa9", "z", "Z"}), "Z+z+\xc3\xa9");
}

TEST(CalibrationProfile, AddClickDropsTheFirstStoredOldestClickOfThatScreenOnly) {
    const auto a1 = click("A", 5s, 1), a2 = click("A", 2s, 2), a3 = click("A", 2s, 3), a4 = click("A", 9s, 4);
    const auto b = click("B", 1s); // older than every click of A, and never touched by them
    using Clicks = std::vector<LabeledSample>;
    const std::tuple<const char*, Clicks, LabeledSample, int, Clicks> cases[] = {
        {"within the limit", {a1, b}, a4, 2, {a1, b, a4}},
        {"equal earliest times: the first stored goes", {a1, a2, b, a3}, a4, 3, {a1, b, a3, a4}},
        {"above a lowered limit: one per call", {a1, a2, b, a3}, a4, 1, {a1, b, a3, a4}},
        {"the new click itself when it is the oldest", {a1, a4}, click("A", 1s), 2, {a1, a4}},
        {"only one of identical clicks", {a2, a2}, a4, 2, {a2, a4}},
    };
    for (const auto& [what, before, added, limit, after] : cases) {
        CalibrationProfile profile;
        profile.clickSamples = before;
        profile.addClick(added, limit);
        EXPECT_EQ(profile.clickSamples, after) << what;
    }
}

TEST(DateTime, ParsesExactlyTheStoredFormToTheExactInstant) {
    EXPECT_EQ(parseDateTime("2025-03-14T09:26:53Z"), base);
    EXPECT_EQ(parseDateTime("2024-02-29T00:00:00Z"), WallTime{} + 1709164800s);
    EXPECT_EQ(parseDateTime("1678-01-01T00:00:00Z"), WallTime{} - 9214560000s); // the clock's first and
    EXPECT_EQ(parseDateTime("2261-12-31T23:59:59Z"), WallTime{} + 9214646399s); // last years
    // Other forms, impossible dates and years the clock cannot hold are refused.
    for (const char* text : {"2025-03-14T09:26:53", "2025-03-14T09:26:53.000Z", "2025-03-14 09:26:53Z",
                             "+025-03-14T09:26:53Z", "2025-03-1aT09:26:53Z", "2025-03-14T-9:26:53Z",
                             "2025-01-01T24:00:00Z", "2025-01-01T23:60:00Z", "2025-12-31T23:59:60Z", ""})
        EXPECT_FALSE(parseDateTime(text)) << text;
    EXPECT_FALSE(parseDateTime(std::string_view("2025-03-14T09:26:53Z\0", 21)));
    for (const char* date : {"2025-00-10", "2025-13-10", "2025-01-00", "2025-04-31", "2023-02-29",
                             "1900-02-29", "1677-12-31", "2262-01-01"})
        EXPECT_FALSE(parseDateTime(std::string(date) + "T00:00:00Z")) << date;
}

TEST(DateTime, FormattingAndParsingRoundTripOverTheWholeRange) {
    // Prime steps cross months, leap days and 1970; truncating fractions is the profile encoder's test.
    for (auto t = WallTime{} - 9214560000s; t < WallTime{} + 9214646399s; t += 7919s * 1117)
        EXPECT_EQ(parseDateTime(formatDateTime(t)), t) << formatDateTime(t);
}

TEST(ProfileJson, EncodesCompactlyInFieldOrderWithWholeSecondsAndRoundTripsAllElse) {
    CalibrationProfile profile({{"A", "Left"}}, "cam", base + 999ms, {}, {});
    profile.clickSamples.push_back(
        {HeadPose{0.5, -1, 0, 0.25, 0.75, 0.125}, "A", Source::click, base + 1500ms});
    EXPECT_EQ(encodeProfile(profile).value,
              R"({"version":1,"displays":[{"id":"A","name":"Left"}],"cameraID":"cam",)"
              R"("calibratedAt":"2025-03-14T09:26:53Z","calibrationSamples":[],"clickSamples":[)"
              R"({"pose":{"yaw":0.5,"pitch":-1,"roll":0,"faceX":0.25,"faceY":0.75,"faceSize":0.125},)"
              R"("screenID":"A","source":"click","time":"2025-03-14T09:26:54Z"}]})");
    // A round trip loses only fractions of seconds and invalid UTF-8.
    profile = sampleProfile();
    profile.calibratedAt += 999999us;
    profile.calibrationSamples[0].pose = {0.1 + 0.2, -1e-300, 5e-324, -0.0, 1.0 / 3.0, 1e308};
    profile.clickSamples[0].time = WallTime{} - 1500ms; // before 1970 the fraction still goes to the past
    profile.displays[0].name = "Dell\xff\xc3";          // replaced rather than failing the save
    auto text = encodeProfile(profile);
    ASSERT_TRUE(text) << text.error;
    auto back = decodeProfile(*text.value);
    ASSERT_TRUE(back) << back.error;
    profile.calibratedAt = base;
    profile.clickSamples[0].time = WallTime{} - 2s;
    profile.displays[0].name = "Dell\xef\xbf\xbd\xef\xbf\xbd";
    EXPECT_EQ(*back.value, profile);
    EXPECT_TRUE(std::signbit(back.value->calibrationSamples[0].pose.faceX));
}

TEST(ProfileJson, ReadsKeysInAnyOrderIgnoresUnknownKeysAndAcceptsOtherVersions) {
    auto result = decodeProfile(
        R"({"clickSamples":[],"extra":{"deep":[1,2]},"calibrationSamples":[{"time":"2025-03-14T09:26:53Z",
        "source":"calibration","screenID":"A","note":null,"pose":{"faceSize":1,"faceY":0,"faceX":0,"roll":0,
        "pitch":0,"yaw":-2,"z":"?"}}],"calibratedAt":"2025-03-14T09:26:53Z","cameraID":"c",
        "displays":[{"name":"N","id":"A","uuid":7}],"version":2147483647})");
    CalibrationProfile expected({{"A", "N"}}, "c", base,
                                {{HeadPose{-2, 0, 0, 0, 0, 1}, "A", Source::calibration, base}}, {});
    expected.version = 2147483647;
    EXPECT_EQ(result.value, expected) << result.error;
}

TEST(ProfileJson, EncodingFailsAsAWholeNamingTheKey) {
    const std::pair<std::function<void(CalibrationProfile&)>, std::string> cases[] = {
        {[](auto& p) { p.clickSamples[1].pose.pitch = NAN; }, "clickSamples[1].pose.pitch"},
        // Times that could not be read back would lose the whole file.
        {[](auto& p) { p.clickSamples[0].time = WallTime::min(); }, "clickSamples[0].time"},
        {[](auto& p) { p.calibratedAt = WallTime::max(); }, "calibratedAt"},
    };
    for (const auto& [change, key] : cases) {
        auto profile = sampleProfile();
        change(profile);
        auto result = encodeProfile(profile);
        ASSERT_FALSE(result) << key;
        EXPECT_NE(result.error.find("\"" + key + "\""), std::string::npos) << result.error;
    }
}

TEST(ProfileJson, EveryUnreadableFormNamesTheKeyThatFailed) {
    auto edited = [](const std::function<void(J&)>& change) {
        J document = sampleJson();
        change(document);
        return json::dump(document);
    };
    const std::string valid = json::dump(sampleJson());
    auto withExtra = [&](int depth) { // unknown members may nest, within a limit
        return "{\"extra\":" + std::string(depth, '[') + std::string(depth, ']') + "," + valid.substr(1);
    };
    ASSERT_TRUE(decodeProfile(withExtra(60)));
    std::string huge = valid; // the first sample's faceSize 0.21 as a number no double can hold
    huge.replace(huge.find("0.21"), 4, "1e400");
    const std::pair<std::string, std::string> cases[] = {
        {edited([](J& d) { d["version"] = "1"; }), R"("version")"},
        {edited([](J& d) { d["version"] = 1.0; }), R"("version")"},
        {edited([](J& d) { d["version"] = 4294967297LL; }), R"("version")"}, // would wrap to 1 as an int
        {edited([](J& d) { d["version"] = UINT64_MAX; }), R"("version")"},
        {edited([](J& d) { d["displays"] = J::object(); }), R"("displays")"},
        {edited([](J& d) { d["displays"][1] = "B"; }), R"("displays[1]")"},
        {edited([](J& d) { d["displays"][0].erase("id"); }), R"("displays[0].id")"},
        {edited([](J& d) { d["displays"][1]["name"] = 3; }), R"("displays[1].name")"},
        {edited([](J& d) { d["cameraID"] = nullptr; }), R"("cameraID")"},
        {edited([](J& d) { d["calibratedAt"] = "2025-03-14T09:26:53.250Z"; }), R"("calibratedAt")"},
        {edited([](J& d) { d["calibrationSamples"] = "[]"; }), R"("calibrationSamples")"},
        {edited([](J& d) { d["calibrationSamples"][1] = J::array(); }), R"("calibrationSamples[1]")"},
        {edited([](J& d) { d["calibrationSamples"][0]["pose"] = 0.5; }), R"("calibrationSamples[0].pose")"},
        {edited([](J& d) { d["calibrationSamples"][2]["pose"].erase("roll"); }),
         R"("calibrationSamples[2].pose.roll")"},
        {edited([](J& d) { d["calibrationSamples"][1]["pose"]["yaw"] = "0.1"; }),
         R"("calibrationSamples[1].pose.yaw")"},
        {edited([](J& d) { d["calibrationSamples"][2]["source"] = "tap"; }),
         R"("calibrationSamples[2].source": expected "calibration" or "click", found "tap")"},
        {edited([](J& d) { d["calibrationSamples"][2]["source"] = "Click"; }),
         R"("calibrationSamples[2].source")"},
        {edited([](J& d) { d["calibrationSamples"][0]["time"] = "2025-03-14 09:26:53Z"; }),
         R"("calibrationSamples[0].time")"},
        {edited([](J& d) { d["clickSamples"] = nullptr; }), R"("clickSamples")"},
        {edited([](J& d) { d["clickSamples"][1].erase("time"); }), R"("clickSamples[1].time")"},
        {huge, R"("calibrationSamples[0].pose.faceSize")"},
        {withExtra(64), "nested too deeply"},
        // Unknown members are checked as strictly as known ones.
        {"{\"extra\":1e33333333333333333333333," + valid.substr(1), "number out of range"},
        {"{\"extra\":[-" + std::string(400, '9') + "]," + valid.substr(1), "number out of range"},
        {valid + " {}", "not valid JSON"},
        {"{\"version\":1,}", "not valid JSON"},
        {"{}", R"("version")"},
        {"[]", "expected an object"},
        {"null", "is null"},
    };
    for (const auto& [text, inError] : cases) {
        auto result = decodeProfile(text);
        ASSERT_FALSE(result) << inError;
        EXPECT_NE(result.error.find(inError), std::string::npos) << result.error;
    }
}
