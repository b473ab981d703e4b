#include "engine/ProfileStore.h"

#include "CapturingLog.h"
#include "WriterProfile.h"
#include "desk/TemporaryFolder.h"

#include <cmath>
#include <csignal>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;
using Names = std::vector<std::string>;

namespace {

CalibrationProfile profileFor(std::vector<std::string> ids, std::string camera = "camera-1") {
    std::vector<CalibrationProfile::Display> displays;
    std::vector<LabeledSample> samples;
    for (const auto& id : ids) {
        displays.push_back({id, "Display " + id});
        samples.push_back(
            {HeadPose{0.1, -0.05, 0.01, 0.5, 0.45, 0.2}, id, LabeledSample::Source::calibration, {}});
    }
    return CalibrationProfile(displays, std::move(camera), WallTime{}, samples, {});
}

fs::perms modeOf(const fs::path& path) {
    return fs::status(path).permissions();
}

struct ProfileStoreTest : ::testing::Test {
    TemporaryFolder root;
    fs::path folder = root / "data/Orvane/Profiles";
    CapturingLog log;
    const std::string fileAB = "fa84db19a0bc7705.json"; // FNV-1a of "A+B"

    Names entries() const {
        Names names;
        for (const auto& entry : fs::directory_iterator(folder))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace

TEST_F(ProfileStoreTest, SavesPrivatelyEvenAfterTheFolderWasRemovedAndTheLastQuickSaveWins) {
    ProfileStore store(folder, log);
    fs::remove_all(root / "data"); // while the program runs
    const auto profile = profileFor({"B", "A"});
    store.save(profile);
    store.flush();
    EXPECT_EQ(modeOf(root / "data"), fs::perms::owner_all);
    EXPECT_EQ(modeOf(folder), fs::perms::owner_all);
    EXPECT_EQ(entries(), Names{fileAB});
    EXPECT_EQ(modeOf(folder / fileAB), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(readFile(folder / fileAB), *encodeProfile(profile).value);
    EXPECT_EQ(store.load("A+B"), profile);

    for (int i = 0; i < 20; ++i) // other displays, a file of their own
        store.save(profileFor({"A", "B", "C"}, "three-" + std::to_string(i)));
    store.flush();
    EXPECT_EQ(store.load("A+B+C")->cameraID, "three-19");
    EXPECT_EQ(store.load("A+B"), profile);
    EXPECT_EQ(entries().size(), 2u);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProfileStoreTest, MissingFilesOtherVersionsAndFoldersAreAbsentWithoutALogLine) {
    ProfileStore store(folder, log);
    auto future = profileFor({"A", "B"});
    future.version = 2;
    store.save(future);
    store.flush();
    fs::create_directory(folder / ProfileStore::fileName("X+Y"));
    for (auto key : {"A+B", "X+Y", "C+D"})
        EXPECT_EQ(store.load(key), std::nullopt) << key;
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProfileStoreTest, ACorruptFileIsReportedOnceKeptAndReplacedByTheNextSave) {
    ProfileStore store(folder, log);
    writeFile(folder / fileAB, "{\"version\": 1, \"displays\": [");
    EXPECT_EQ(store.load("A+B"), std::nullopt);
    ASSERT_EQ(log.count("Could not read profile: "), 1u);
    EXPECT_EQ(log.lines()[0].category, "profiles");
    EXPECT_EQ(log.lines()[0].level, LogLevel::error);
    EXPECT_EQ(readFile(folder / fileAB), "{\"version\": 1, \"displays\": [");

    const auto profile = profileFor({"A", "B"});
    store.save(profile);
    store.flush();
    EXPECT_EQ(store.load("A+B"), profile);
    EXPECT_EQ(log.lines().size(), 1u);
}

// However a save fails, it is logged once and leaves the previous file and no temporary file.
TEST_F(ProfileStoreTest, AFailedSaveIsLoggedAndKeepsThePreviousFile) {
    const auto previous = profileFor({"A", "B"}), replacement = profileFor({"A", "B"}, "replacement");
    auto unencodable = replacement;
    unencodable.calibrationSamples[0].pose.yaw = NAN;
    auto tooLarge = [&](ProfileStore& store) {
        rlimit saved{};
        getrlimit(RLIMIT_FSIZE, &saved);
        rlimit limited = saved;
        limited.rlim_cur = 2 * readFile(folder / fileAB).size();
        auto handler = std::signal(SIGXFSZ, SIG_IGN);
        setrlimit(RLIMIT_FSIZE, &limited);
        store.save(writerProfile(398)); // {A, B} with hundreds of clicks
        store.flush();
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, handler);
    };
    auto unwritable = [&](ProfileStore& store) {
        if (geteuid() == 0) { // permissions do not stop root: a file sits where a parent folder should be
            writeFile(root / "blocked", "");
            ProfileStore(root / "blocked/Profiles", log).save(replacement);
            return;
        }
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        store.save(replacement);
        store.flush();
        fs::permissions(folder, fs::perms::owner_all);
    };
    const std::pair<const char*, std::function<void(ProfileStore&)>> failures[] = {
        {"not encodable", [&](ProfileStore& store) { store.save(unencodable); }},
        {"file too large", tooLarge},
        {"unwritable folder", unwritable},
    };
    for (const auto& [name, fail] : failures) {
        SCOPED_TRACE(name);
        ProfileStore(folder, log).save(previous);
        const std::size_t failed = log.count("Could not save profile: ");
        {
            ProfileStore store(folder, log);
            fail(store);
        }
        EXPECT_EQ(log.count("Could not save profile: "), failed + 1);
        EXPECT_EQ(log.lines().back().level, LogLevel::error);
        EXPECT_EQ(entries(), Names{fileAB});
        EXPECT_EQ(ProfileStore(folder, log).load("A+B"), previous);
    }
}

TEST_F(ProfileStoreTest, OpeningRemovesTemporaryFilesOfInterruptedSavesOnly) {
    fs::create_directories(folder);
    for (auto name : {".fa84db19a0bc7705.json.a1B2c3", ".hidden", "notes.txt"})
        writeFile(folder / name, "{\"version\": 1, \"disp");
    ProfileStore store(folder, log);
    EXPECT_EQ(entries(), (Names{".hidden", "notes.txt"}));
}
