#include "engine/Diagnostics.h"

#include "TemporaryFolder.h"
#include "VirtualTime.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <limits>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

std::vector<std::string> lines(const fs::path& file) {
    std::vector<std::string> result;
    std::string text = readFile(file);
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    for (std::size_t start = 0; start < text.size();) {
        std::size_t end = text.find('\n', start);
        result.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return result;
}

std::vector<std::string> names(const fs::path& folder) {
    std::vector<std::string> result;
    for (const auto& entry : fs::directory_iterator(folder))
        result.push_back(entry.path().filename().string());
    std::sort(result.begin(), result.end());
    return result;
}

// The day files are named after the local date: ten hours behind UTC, the clock's
// 2025-12-06 06:03 UTC is still the 5th.
struct DiagnosticsTest : ::testing::Test {
    void SetUp() override {
        if (const char* zone = std::getenv("TZ")) savedZone = zone;
        setenv("TZ", "UTC+10", 1);
        tzset();
    }
    void TearDown() override {
        if (savedZone)
            setenv("TZ", savedZone->c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }

    std::optional<std::string> savedZone;
    TemporaryFolder root;
    fs::path folder = root / "state/Orvane/Logs";
    ManualClock clock;
    const std::string today = "trace-2025-12-05.jsonl";
};

} // namespace

TEST_F(DiagnosticsTest, OpeningKeepsTheThreeNewestDayFilesAndCreatesToday) {
    fs::create_directories(folder);
    for (auto day : {"2025-11-30", "2025-12-01", "2025-12-02", "2025-12-03"})
        writeFile(folder / ("trace-" + std::string(day) + ".jsonl"), "{}\n");
    writeFile(folder / "notes.txt", "kept");

    auto log = Diagnostics::open(folder, clock);
    ASSERT_TRUE(log);
    EXPECT_EQ(log->file(), folder / today);
    EXPECT_EQ(names(folder),
              (std::vector<std::string>{"notes.txt", "trace-2025-12-01.jsonl", "trace-2025-12-02.jsonl",
                                        "trace-2025-12-03.jsonl", today}));
    EXPECT_EQ(fs::status(folder / today).permissions(), fs::perms::owner_read | fs::perms::owner_write);
}

TEST_F(DiagnosticsTest, TodaysFileCountsAmongTheThreeAndIsAppendedTo) {
    fs::create_directories(folder);
    for (auto day : {"2025-12-02", "2025-12-03", "2025-12-04"})
        writeFile(folder / ("trace-" + std::string(day) + ".jsonl"), "{}\n");
    writeFile(folder / today, "{\"k\":\"earlier\"}\n");

    Diagnostics::open(folder, clock)->event("calibration", {{"samples", 3}});
    Diagnostics::open(folder, clock)->event("calibration", {{"samples", 4}});

    EXPECT_EQ(names(folder),
              (std::vector<std::string>{"trace-2025-12-03.jsonl", "trace-2025-12-04.jsonl", today}));
    EXPECT_EQ(lines(folder / today),
              (std::vector<std::string>{R"({"k":"earlier"})", R"({"k":"calibration","samples":3,"t":0.0})",
                                        R"({"k":"calibration","samples":4,"t":0.0})"}));
}

TEST_F(DiagnosticsTest, OpeningFailsWhenTheFileCannotBeOpened) {
    writeFile(root / "state", "a file where a folder should be");
    EXPECT_EQ(Diagnostics::open(folder, clock), nullptr);
}

TEST_F(DiagnosticsTest, RecordsHaveSortedKeysAndMillisecondTimes) {
    auto log = Diagnostics::open(folder, clock);
    clock.set(clock.uptime() + 12.3456);
    log->event("focus", {{"method", "windowManager"}, {"app", "-"}, {"ok", true}, {"k", "x"}, {"t", 99}});
    clock.set(clock.uptime() + 0.0004);
    log->event("focus", {{"display", "Left"}});
    log->flush();

    EXPECT_EQ(
        lines(log->file()),
        (std::vector<std::string>{R"({"app":"-","k":"focus","method":"windowManager","ok":true,"t":12.346})",
                                  R"({"display":"Left","k":"focus","t":12.346})"}));
}

TEST_F(DiagnosticsTest, NumbersReadBackExactlyAndRecordsJsonCannotHoldAreSkipped) {
    auto log = Diagnostics::open(folder, clock);
    const double awkward = 0.1 + 0.2, tiny = 5e-324, huge = 1.7976931348623157e308, third = 1.0 / 3;
    log->event("perf", {{"a", awkward}, {"b", tiny}, {"c", huge}, {"d", third}, {"e", -0.0}});
    log->event("perf", {{"vision_ms", std::numeric_limits<double>::quiet_NaN()}});
    log->event("perf", {{"p", {0.5, infinity}}});
    log->event("switch", {{"target", "A"}, {"p", 0}});
    log->flush();

    auto written = lines(log->file());
    ASSERT_EQ(written.size(), 2u);
    auto first = Json::parse(written[0]);
    EXPECT_EQ(first["a"].get<double>(), awkward);
    EXPECT_EQ(first["b"].get<double>(), tiny);
    EXPECT_EQ(first["c"].get<double>(), huge);
    EXPECT_EQ(first["d"].get<double>(), third);
    EXPECT_TRUE(std::signbit(first["e"].get<double>()));
    EXPECT_EQ(written[1], R"({"k":"switch","p":0,"t":0.0,"target":"A"})");
}

TEST_F(DiagnosticsTest, AFrameWithoutAFaceWritesOnlyInputAndStatus) {
    auto log = Diagnostics::open(folder, clock);
    log->frame(std::nullopt, std::nullopt, SwitchDecider::NoFace{}, InputActivity{infinity, 2.5, true, true});
    log->flush();
    EXPECT_EQ(lines(log->file()),
              std::vector<std::string>{
                  R"({"face":false,"k":"frame","kbd":999.0,"ptr":2.5,"status":"noFace","t":0.0})"});
}

TEST_F(DiagnosticsTest, AFrameWithAPoseAndAPredictionWritesDegreesAndProbabilities) {
    auto log = Diagnostics::open(folder, clock);
    HeadPose pose{radians(20), radians(-5), radians(1.5), 0.25, 0.5, 0.125};
    ScreenPrediction prediction{{0.75, 0.25}, {"A", "B"}, false, 1.5};
    log->frame(pose, prediction, SwitchDecider::Dwelling{"B", 0.25}, InputActivity{1000, infinity});
    log->flush();

    auto written = lines(log->file());
    ASSERT_EQ(written.size(), 1u);
    auto record = Json::parse(written[0]);
    EXPECT_EQ(record.size(), 15u);
    EXPECT_TRUE(record["face"].get<bool>());
    EXPECT_DOUBLE_EQ(record["yaw"].get<double>(), 20);
    EXPECT_DOUBLE_EQ(record["pitch"].get<double>(), -5);
    EXPECT_DOUBLE_EQ(record["roll"].get<double>(), 1.5);
    EXPECT_EQ(record["fx"], 0.25);
    EXPECT_EQ(record["fy"], 0.5);
    EXPECT_EQ(record["fs"], 0.125);
    EXPECT_EQ(record["p"], Json({0.75, 0.25}));
    EXPECT_EQ(record["off"], false);
    EXPECT_EQ(record["dist"], 1.5);
    EXPECT_EQ(record["kbd"], 999);
    EXPECT_EQ(record["ptr"], 999);
    EXPECT_EQ(record["status"], R"(dwelling(target: "B", progress: 0.25))");
}

TEST_F(DiagnosticsTest, RecordsHandedOverBeforeTheLogIsDroppedAreStillWritten) {
    auto log = Diagnostics::open(folder, clock);
    const auto file = log->file();
    for (int i = 0; i < 500; ++i)
        log->event("calibration", {{"samples", i}});
    log.reset();

    auto written = lines(file);
    ASSERT_EQ(written.size(), 500u);
    EXPECT_EQ(Json::parse(written.back())["samples"], 499);
}

TEST(DiagnosticsStatusText, NamesTheCaseAndItsDataInParentheses) {
    EXPECT_EQ(Diagnostics::statusText(SwitchDecider::Dwelling{"A", 0.5}),
              R"(dwelling(target: "A", progress: 0.5))");
    EXPECT_EQ(Diagnostics::statusText(SwitchDecider::Dwelling{"A", 0.1 + 0.2}),
              R"(dwelling(target: "A", progress: 0.30000000000000004))");
    EXPECT_EQ(Diagnostics::statusText(SwitchDecider::WaitingForKeyboard{"B"}),
              R"(waitingForKeyboard(target: "B"))");
    EXPECT_EQ(Diagnostics::statusText(SwitchDecider::WaitingForPointer{"B"}),
              R"(waitingForPointer(target: "B"))");
    EXPECT_EQ(Diagnostics::statusText(SwitchDecider::WaitingForModifiers{"B"}),
              R"(waitingForModifiers(target: "B"))");
    EXPECT_EQ(Diagnostics::statusText(SwitchDecider::CoolingDown{"B"}), R"(coolingDown(target: "B"))");
    EXPECT_EQ(Diagnostics::statusText(SwitchDecider::OffScreen{}), "offScreen");
    EXPECT_EQ(Diagnostics::statusText(SwitchDecider::Uncertain{}), "uncertain");
    EXPECT_EQ(Diagnostics::statusText(SwitchDecider::OnActiveScreen{}), "onActiveScreen");
}
