#include "core/CalibrationProfile.h"

#include <cmath>
#include <functional>
#include <gtest/gtest.h>
#include <limits>
#include <random>
#include <set>

using namespace orvane;
using namespace std::chrono_literals;
using Source = LabeledSample::Source;

namespace {

const WallTime base = WallTime{} + 1741944413s; // 2025-03-14T09:26:53Z

CalibrationProfile sampleProfile() {
    CalibrationProfile profile({{"A", "Left"}, {"B", "Built-in \xe2\x80\x94 Retina"}}, "cam-1", base, {}, {});
    for (int i = 0; i < 3; ++i)
        profile.calibrationSamples.push_back({HeadPose{0.1 * i, -0.2, 0.01, 0.5, 0.4, 0.21},
                                              i % 2 ? "B" : "A", Source::calibration, base + 1s * i});
    profile.clickSamples.push_back({HeadPose{0.3, 0.1, 0, 0.45, 0.5, 0.2}, "B", Source::click, base + 60s});
    profile.clickSamples.push_back({HeadPose{-0.3, 0, 0, 0.55, 0.5, 0.2}, "A", Source::click, base + 61s});
    return profile;
}

json::Json sampleJson() {
    return json::parse(*encodeProfile(sampleProfile()).value);
}

// Decodes a document that must be unreadable, and returns the error message.
std::string errorOf(const std::string& text) {
    auto result = decodeProfile(text);
    EXPECT_FALSE(result) << text;
    return result.error;
}

std::string errorOf(const std::function<void(json::Json&)>& edit) {
    json::Json document = sampleJson();
    edit(document);
    return errorOf(json::dump(document));
}

// The robustness property: a complete profile that survives another round trip, or an error to log.
testing::AssertionResult sound(std::string_view text) {
    auto first = decodeProfile(text);
    if (!first) {
        if (first.error.empty()) return testing::AssertionFailure() << "empty error";
        return testing::AssertionSuccess();
    }
    // Never laxer than the reference parser.
    if (!nlohmann::json::accept(text)) return testing::AssertionFailure() << "decoded text that is not JSON";
    auto encoded = encodeProfile(*first.value);
    if (!encoded) return testing::AssertionFailure() << "decoded profile does not encode: " << encoded.error;
    auto second = decodeProfile(*encoded.value);
    if (!second) return testing::AssertionFailure() << "re-encoded profile does not decode: " << second.error;
    if (!(*second.value == *first.value))
        return testing::AssertionFailure() << "round trip changed the profile";
    return testing::AssertionSuccess();
}

} // namespace

TEST(ProfileJson, EncodesCompactlyInFieldOrderWithWholeSeconds) {
    CalibrationProfile profile({{"A", "Left"}}, "cam", base + 999ms, {}, {});
    profile.clickSamples.push_back(
        {HeadPose{0.5, -1, 0, 0.25, 0.75, 0.125}, "A", Source::click, base + 1500ms});
    auto text = encodeProfile(profile);
    ASSERT_TRUE(text) << text.error;
    EXPECT_EQ(*text.value,
              R"({"version":1,"displays":[{"id":"A","name":"Left"}],"cameraID":"cam",)"
              R"("calibratedAt":"2025-03-14T09:26:53Z","calibrationSamples":[],"clickSamples":[)"
              R"({"pose":{"yaw":0.5,"pitch":-1,"roll":0,"faceX":0.25,"faceY":0.75,"faceSize":0.125},)"
              R"("screenID":"A","source":"click","time":"2025-03-14T09:26:54Z"}]})");
}

TEST(ProfileJson, RoundTripLosesOnlyFractionsOfSeconds) {
    auto profile = sampleProfile();
    profile.calibratedAt += 999999us;
    profile.calibrationSamples[0].pose = {0.1 + 0.2, -1e-300, 5e-324, -0.0, 1.0 / 3.0, 1e308};
    profile.clickSamples[0].time = WallTime{} - 1500ms; // before 1970 the fraction still goes to the past

    auto text = encodeProfile(profile);
    ASSERT_TRUE(text) << text.error;
    auto back = decodeProfile(*text.value);
    ASSERT_TRUE(back) << back.error;

    EXPECT_EQ(back.value->calibratedAt, base);
    EXPECT_EQ(back.value->clickSamples[0].time, WallTime{} - 2s);
    profile.calibratedAt = base;
    profile.clickSamples[0].time = WallTime{} - 2s;
    EXPECT_EQ(*back.value, profile);
    EXPECT_EQ(std::signbit(back.value->calibrationSamples[0].pose.faceX), true);
}

TEST(ProfileJson, ReadsKeysInAnyOrderIgnoresUnknownKeysAndAcceptsOtherVersions) {
    std::string text =
        R"({"clickSamples":[],"extra":{"deep":[1,2]},"calibrationSamples":[{"time":"2025-03-14T09:26:53Z",
        "source":"calibration","screenID":"A","note":null,"pose":{"faceSize":1,"faceY":0,"faceX":0,"roll":0,
        "pitch":0,"yaw":-2,"z":"?"}}],"calibratedAt":"2025-03-14T09:26:53Z","cameraID":"c",
        "displays":[{"name":"N","id":"A","uuid":7}],"version":2})";
    auto result = decodeProfile(text);
    ASSERT_TRUE(result) << result.error;
    const auto& profile = *result.value;
    EXPECT_EQ(profile.version, 2);
    EXPECT_EQ(profile.displays, (std::vector<CalibrationProfile::Display>{{"A", "N"}}));
    ASSERT_EQ(profile.calibrationSamples.size(), 1u);
    EXPECT_EQ(profile.calibrationSamples[0],
              (LabeledSample{HeadPose{-2, 0, 0, 0, 0, 1}, "A", Source::calibration, base}));
}

TEST(ProfileJson, NonFiniteNumbersFailTheWholeEncodeNamingTheKey) {
    auto profile = sampleProfile();
    profile.clickSamples[1].pose.pitch = std::numeric_limits<double>::quiet_NaN();
    auto result = encodeProfile(profile);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error.find("\"clickSamples[1].pose.pitch\""), std::string::npos) << result.error;

    profile = sampleProfile();
    profile.calibrationSamples[2].pose.faceSize = -INFINITY;
    result = encodeProfile(profile);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error.find("\"calibrationSamples[2].pose.faceSize\""), std::string::npos)
        << result.error;
}

TEST(ProfileJson, TimesThatCouldNotBeReadBackAreNotWritten) {
    auto profile = sampleProfile();
    profile.clickSamples[0].time = WallTime::min();
    auto result = encodeProfile(profile);
    ASSERT_FALSE(result);
    EXPECT_NE(result.error.find("\"clickSamples[0].time\""), std::string::npos) << result.error;
}

TEST(ProfileJson, InvalidUtf8InNamesIsReplacedRatherThanFailingTheSave) {
    auto profile = sampleProfile();
    profile.displays[0].name = "Dell\xff\xc3";
    auto text = encodeProfile(profile);
    ASSERT_TRUE(text) << text.error;
    auto back = decodeProfile(*text.value);
    ASSERT_TRUE(back) << back.error;
    EXPECT_EQ(back.value->displays[0].name, "Dell\xef\xbf\xbd\xef\xbf\xbd");
    EXPECT_EQ(back.value->displays[1], profile.displays[1]);
}

TEST(ProfileJson, EveryUnreadableFormNamesTheKeyThatFailed) {
    struct Case {
        std::string key;
        std::function<void(json::Json&)> edit;
    };
    using J = json::Json;
    std::vector<Case> cases = {
        {"version", [](J& d) { d.erase("version"); }},
        {"version", [](J& d) { d["version"] = nullptr; }},
        {"version", [](J& d) { d["version"] = "1"; }},
        {"version", [](J& d) { d["version"] = 1.0; }},
        {"version", [](J& d) { d["version"] = 4294967297LL; }},
        {"version", [](J& d) { d["version"] = std::numeric_limits<std::uint64_t>::max(); }},
        {"displays", [](J& d) { d.erase("displays"); }},
        {"displays", [](J& d) { d["displays"] = J::object(); }},
        {"displays[1]", [](J& d) { d["displays"][1] = "B"; }},
        {"displays[0].id", [](J& d) { d["displays"][0].erase("id"); }},
        {"displays[1].name", [](J& d) { d["displays"][1]["name"] = 3; }},
        {"cameraID", [](J& d) { d["cameraID"] = nullptr; }},
        {"cameraID", [](J& d) { d["cameraID"] = J::array(); }},
        {"calibratedAt", [](J& d) { d.erase("calibratedAt"); }},
        {"calibratedAt", [](J& d) { d["calibratedAt"] = 1741944413; }},
        {"calibratedAt", [](J& d) { d["calibratedAt"] = "2025-03-14T09:26:53.250Z"; }},
        {"calibratedAt", [](J& d) { d["calibratedAt"] = "2025-03-14T09:26:53+00:00"; }},
        {"calibratedAt", [](J& d) { d["calibratedAt"] = "2025-02-29T09:26:53Z"; }},
        {"calibrationSamples", [](J& d) { d.erase("calibrationSamples"); }},
        {"calibrationSamples", [](J& d) { d["calibrationSamples"] = "[]"; }},
        {"calibrationSamples[1]", [](J& d) { d["calibrationSamples"][1] = J::array(); }},
        {"calibrationSamples[0].pose", [](J& d) { d["calibrationSamples"][0].erase("pose"); }},
        {"calibrationSamples[0].pose", [](J& d) { d["calibrationSamples"][0]["pose"] = 0.5; }},
        {"calibrationSamples[2].pose.roll", [](J& d) { d["calibrationSamples"][2]["pose"].erase("roll"); }},
        {"calibrationSamples[1].pose.yaw", [](J& d) { d["calibrationSamples"][1]["pose"]["yaw"] = "0.1"; }},
        {"calibrationSamples[1].pose.faceSize",
         [](J& d) { d["calibrationSamples"][1]["pose"]["faceSize"] = nullptr; }},
        {"calibrationSamples[0].screenID", [](J& d) { d["calibrationSamples"][0]["screenID"] = nullptr; }},
        {"calibrationSamples[2].source", [](J& d) { d["calibrationSamples"][2]["source"] = "tap"; }},
        {"calibrationSamples[2].source", [](J& d) { d["calibrationSamples"][2]["source"] = "Click"; }},
        {"calibrationSamples[2].source", [](J& d) { d["calibrationSamples"][2]["source"] = 1; }},
        {"calibrationSamples[0].time",
         [](J& d) { d["calibrationSamples"][0]["time"] = "2025-03-14 09:26:53Z"; }},
        {"clickSamples", [](J& d) { d["clickSamples"] = nullptr; }},
        {"clickSamples[1].time", [](J& d) { d["clickSamples"][1].erase("time"); }},
        {"clickSamples[0].source", [](J& d) { d["clickSamples"][0]["source"] = ""; }},
    };
    for (const auto& c : cases) {
        std::string error = errorOf(c.edit);
        EXPECT_NE(error.find("\"" + c.key + "\""), std::string::npos) << c.key << ": " << error;
    }
    EXPECT_EQ(errorOf([](J& d) { d["calibrationSamples"][2]["source"] = "tap"; }),
              R"("calibrationSamples[2].source": expected "calibration" or "click", found "tap")");
}

TEST(ProfileJson, DocumentsThatAreNotProfilesFailWithAMessage) {
    for (std::string text : {"", " ", "{", "[]", "null", "\"profile\"", "{}}", "{\"version\":1,}", "{} {}"})
        EXPECT_FALSE(errorOf(text).empty()) << text;
    EXPECT_NE(errorOf("{}").find("version"), std::string::npos);

    // Unknown members may nest, within a limit that keeps the reader's stack small.
    auto withExtra = [](int depth) {
        return "{\"extra\":" + std::string(depth, '[') + std::string(depth, ']') + "," +
               json::dump(sampleJson()).substr(1);
    };
    EXPECT_TRUE(decodeProfile(withExtra(60)));
    EXPECT_NE(errorOf(withExtra(64)).find("nested"), std::string::npos);

    // Numbers the reader cannot hold as a finite double.
    auto text = json::dump(sampleJson());
    auto at = text.find("0.21");
    ASSERT_NE(at, std::string::npos);
    EXPECT_FALSE(errorOf(text.substr(0, at) + "1e400" + text.substr(at + 4)).empty());
    EXPECT_FALSE(errorOf(text.substr(0, at) + "-1e400" + text.substr(at + 4)).empty());
}

// Thousands of damaged variants of a valid profile, with a fixed seed: each must decode to a profile
// that survives another round trip, or fail with a message. Nothing may crash or recurse without bound.
TEST(ProfileJson, DamagedDocumentsNeverCrashOrDecodePartially) {
    const json::Json valid = sampleJson();
    const std::string text = json::dump(valid);
    const json::Json leaves = valid.flatten();
    int decoded = 0, failed = 0;
    auto check = [&](std::string_view variant, const std::string& what) {
        EXPECT_TRUE(sound(variant)) << what;
        decodeProfile(variant) ? ++decoded : ++failed;
    };

    for (std::size_t length = 0; length < text.size(); ++length)
        EXPECT_FALSE(decodeProfile(text.substr(0, length)));

    // Every value in the document, swapped for every other kind of value.
    std::set<std::string> pointers;
    for (const auto& [path, leaf] : leaves.items())
        for (auto pointer = json::Json::json_pointer(path); !pointer.empty();
             pointer = pointer.parent_pointer())
            pointers.insert(pointer.to_string());
    const std::vector<json::Json> replacements = {nullptr,
                                                  true,
                                                  0,
                                                  -1,
                                                  2,
                                                  1.5,
                                                  1e308,
                                                  -1e-320,
                                                  std::numeric_limits<std::uint64_t>::max(),
                                                  "",
                                                  "A",
                                                  "click",
                                                  "calibration",
                                                  "2025-03-14T09:26:53Z",
                                                  json::Json::array(),
                                                  json::Json::object()};
    for (const auto& pointer : pointers)
        for (const auto& replacement : replacements) {
            json::Json variant = valid;
            variant[json::Json::json_pointer(pointer)] = replacement;
            check(json::dump(variant), pointer + " = " + replacement.dump());
        }

    // Raw tokens in place of each number and each string: overflowing numbers, broken UTF-8.
    const std::vector<std::string> numbers = {
        "1e400", "-1e400", "1e-400", "18446744073709551616", "-9223372036854775809", "1E+2", "-0", "0.0e0"};
    const std::vector<std::string> strings = {
        "\"\xff\"",    "\"\xc3\"",     "\"\xed\xa0\x80\"", "\"\xc0\xaf\"", "\"\xf4\x90\x80\x80\"",
        "\"\\ud800\"", "\"\\udc00x\"", "\"a\\u0000b\""};
    for (const auto& [path, leaf] : leaves.items()) {
        json::Json variant = valid;
        variant[json::Json::json_pointer(path)] = "@@";
        std::string marked = json::dump(variant);
        auto at = marked.find("\"@@\"");
        for (const auto& token : leaf.is_string() ? strings : numbers)
            check(marked.substr(0, at) + token + marked.substr(at + 4), path + " = " + token);
    }

    // Duplicate keys: the reader keeps the last one.
    check("{\"version\":\"x\"," + text.substr(1), "duplicate version, bad first");
    check("{\"version\":1," + text.substr(1), "duplicate version");
    check(text.substr(0, text.size() - 1) + ",\"cameraID\":null}", "duplicate cameraID, null last");

    // Deep nesting, as the whole document and as a member: must not overflow the stack.
    const std::size_t depth = 100000;
    std::string open(depth, '['), close(depth, ']');
    check(open, "unclosed arrays");
    check(open + close, "nested arrays");
    check("{\"displays\":" + open + close + "," + text.substr(1), "nested displays");
    std::string objects;
    for (std::size_t i = 0; i < depth; ++i)
        objects += "{\"a\":";
    check(objects + "1" + std::string(depth, '}'), "nested objects");

    // Random damage: flipped, inserted, deleted and repeated bytes.
    std::mt19937 random(20250314);
    const std::string alphabet = "{}[]\":,0123456789.-+eE tfnrul\\\x80\xff";
    for (int round = 0; round < 3000; ++round) {
        std::string variant = text;
        for (int edits = 1 + int(random() % 3); edits > 0; --edits) {
            std::size_t at = random() % variant.size();
            switch (random() % 4) {
            case 0:
                variant[at] = alphabet[random() % alphabet.size()];
                break;
            case 1:
                variant.insert(at, 1, alphabet[random() % alphabet.size()]);
                break;
            case 2:
                variant.erase(at, 1 + random() % 8);
                break;
            default:
                variant.insert(at, variant.substr(at, 1 + random() % 40));
                break;
            }
            if (variant.empty()) variant = "{";
        }
        check(variant, "random round " + std::to_string(round));
    }

    EXPECT_GT(decoded, 300); // the run is not vacuous either way
    EXPECT_GT(failed, 3000);
}
