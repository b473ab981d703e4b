#include "engine/Diagnostics.h"

#include "VirtualTime.h"
#include "desk/TemporaryFolder.h"

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <limits>
#include <set>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;
using Json = nlohmann::json;
using Lines = std::vector<std::string>;

namespace {

constexpr double infinity = std::numeric_limits<double>::infinity();

Lines lines(const fs::path& file) {
    const std::string text = readFile(file);
    EXPECT_TRUE(text.empty() || text.back() == '\n');
    Lines result;
    std::istringstream stream(text);
    for (std::string line; std::getline(stream, line);)
        result.push_back(line);
    return result;
}

// Day files are named after the local date: ten hours behind UTC, the clock's 2025-12-06 06:03 UTC is
// still the 5th.
struct DiagnosticsTest : ::testing::Test {
    void SetUp() override {
        setenv("TZ", "UTC+10", 1);
        tzset();
        log = Diagnostics::open(folder, clock);
        ASSERT_TRUE(log);
    }
    void TearDown() override {
        unsetenv("TZ");
        tzset();
    }
    Lines written() {
        log->flush();
        return lines(log->file());
    }

    TemporaryFolder root;
    fs::path folder = root / "state/Orvane/Logs";
    ManualClock clock;
    std::shared_ptr<Diagnostics> log;
};

} // namespace

TEST_F(DiagnosticsTest, TodaysPrivateFileGetsEveryRecordHandedOverAndTheThreeNewestDayFilesAreKept) {
    const fs::path today = folder / "trace-2025-12-05.jsonl";
    EXPECT_EQ(log->file(), today);
    EXPECT_EQ(fs::status(today).permissions(), fs::perms::owner_read | fs::perms::owner_write);
    for (int i = 0; i < 500; ++i) // handed over before the log is dropped: still written
        log->event("calibration", {{"samples", i}});
    log.reset();
    for (auto day : {"2025-11-30", "2025-12-02", "2025-12-04"})
        writeFile(folder / ("trace-" + std::string(day) + ".jsonl"), "{}\n");
    writeFile(folder / "notes.txt", "kept");

    Diagnostics::open(folder, clock)->event("calibration", {{"samples", 500}});
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, (std::set<std::string>{"notes.txt", "trace-2025-12-02.jsonl", "trace-2025-12-04.jsonl",
                                            today.filename()}));
    const Lines records = lines(today);
    ASSERT_EQ(records.size(), 501u);
    EXPECT_EQ(records[0], R"({"k":"calibration","samples":0,"t":0.0})");
    EXPECT_EQ(records[500], R"({"k":"calibration","samples":500,"t":0.0})");

    writeFile(root / "blocked", "a file where a folder should be");
    EXPECT_EQ(Diagnostics::open(root / "blocked/Logs", clock), nullptr);
}

// Compact lines with sorted keys and millisecond times; numbers read back exactly, and a record holding one
// that JSON cannot (NaN, infinity) is skipped. Frames give angles in degrees and input times capped at 999 s.
TEST_F(DiagnosticsTest, RecordsAreSortedJsonLinesThatReadBackExactlyAndFramesTellTheWholeDecision) {
    clock.set(clock.uptime() + 12.3456);
    log->event("focus", {{"method", "windowManager"}, {"app", "-"}, {"ok", true}, {"k", "x"}, {"t", 99}});
    const std::vector<double> numbers{0.1 + 0.2, 5e-324, 1.7976931348623157e308, 1.0 / 3, -0.0};
    log->event("perf", {{"n", numbers}});
    log->event("perf", {{"vision_ms", NAN}});
    log->event("perf", {{"p", {0.5, infinity}}});
    log->frame(std::nullopt, std::nullopt, SwitchDecider::NoFace{}, InputActivity{infinity, 2.5, true, true});
    HeadPose pose{radians(20), radians(-5), radians(1.5), 0.25, 0.5, 0.125};
    ScreenPrediction prediction{{0.75, 0.25}, {"A", "B"}, false, 1.5};
    log->frame(pose, prediction, SwitchDecider::Dwelling{"B", 0.1 + 0.2}, InputActivity{1000, infinity});
    const auto records = written();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0], R"({"app":"-","k":"focus","method":"windowManager","ok":true,"t":12.346})");
    const auto readBack = Json::parse(records[1])["n"].get<std::vector<double>>();
    EXPECT_EQ(readBack, numbers);
    EXPECT_TRUE(std::signbit(readBack.back()));
    EXPECT_EQ(records[2], R"({"face":false,"k":"frame","kbd":999.0,"ptr":2.5,"status":"noFace","t":12.346})");
    auto record = Json::parse(records[3]);
    for (auto [key, angle] : {std::pair{"yaw", 20.0}, {"pitch", -5.0}, {"roll", 1.5}}) {
        EXPECT_NEAR(record[key].get<double>(), angle, 1e-12) << key;
        record.erase(key);
    }
    EXPECT_EQ(
        record.dump(),
        R"j({"dist":1.5,"face":true,"fs":0.125,"fx":0.25,"fy":0.5,"k":"frame","kbd":999.0,"off":false,)j"
        R"j("p":[0.75,0.25],"ptr":999.0,"status":"dwelling(target: \"B\", progress: 0.30000000000000004)",)j"
        R"j("t":12.346})j");
}
