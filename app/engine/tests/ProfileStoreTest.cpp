#include "engine/ProfileStore.h"

#include "CapturingLog.h"
#include "TemporaryFolder.h"
#include "WriterProfile.h"

#include <csignal>
#include <gtest/gtest.h>
#include <limits>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;

namespace {

CalibrationProfile profileFor(std::vector<std::string> ids, std::string camera = "camera-1") {
    std::vector<CalibrationProfile::Display> displays;
    std::vector<LabeledSample> samples;
    const WallTime time = WallTime{} + std::chrono::seconds(1'760'000'000);
    for (const auto& id : ids) {
        displays.push_back({id, "Display " + id});
        samples.push_back(
            {HeadPose{0.1, -0.05, 0.01, 0.5, 0.45, 0.2}, id, LabeledSample::Source::calibration, time});
    }
    return CalibrationProfile(displays, std::move(camera), time, samples, {});
}

mode_t modeOf(const fs::path& path) {
    struct stat info {};
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_mode & 07777;
}

std::vector<std::string> entries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

struct ProfileStoreTest : ::testing::Test {
    TemporaryFolder root;
    fs::path folder = root / "data/Orvane/Profiles";
    CapturingLog log;
};

} // namespace

TEST(ProfileStoreFileName, IsTheFnv1aHashOfTheSortedKey) {
    EXPECT_EQ(ProfileStore::fileName(""), "cbf29ce484222325.json");
    EXPECT_EQ(ProfileStore::fileName("a"), "af63dc4c8601ec8c.json");
    EXPECT_EQ(ProfileStore::fileName(CalibrationProfile::key({"B", "A"})), "fa84db19a0bc7705.json");
    EXPECT_EQ(ProfileStore::fileName(CalibrationProfile::key({"A", "B"})), "fa84db19a0bc7705.json");
    EXPECT_EQ(ProfileStore::fileName("A+B+C"), "20c8a51aca394b6b.json");
}

TEST_F(ProfileStoreTest, SavesPrivatelyAndLoadsBack) {
    ProfileStore store(folder, log);
    EXPECT_EQ(modeOf(root / "data"), 0700u);
    EXPECT_EQ(modeOf(folder), 0700u);

    // Display order does not matter: B,A is saved where A,B is loaded from.
    auto profile = profileFor({"B", "A"});
    store.save(profile);
    store.flush();

    EXPECT_EQ(entries(folder), std::vector<std::string>{"fa84db19a0bc7705.json"});
    EXPECT_EQ(modeOf(folder / "fa84db19a0bc7705.json"), 0600u);
    EXPECT_EQ(readFile(folder / "fa84db19a0bc7705.json"), *encodeProfile(profile).value);
    EXPECT_EQ(store.load("A+B"), profile);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProfileStoreTest, DifferentSetsOfDisplaysNeverAffectEachOther) {
    ProfileStore store(folder, log);
    auto two = profileFor({"A", "B"}, "two");
    auto three = profileFor({"A", "B", "C"}, "three");
    store.save(two);
    store.save(three);
    store.save(profileFor({"A", "B", "C"}, "three again"));
    store.flush();

    EXPECT_EQ(store.load("A+B"), two);
    EXPECT_EQ(store.load("A+B+C")->cameraID, "three again");
    EXPECT_EQ(entries(folder).size(), 2u);
}

TEST_F(ProfileStoreTest, TheLastOfQuickSavesWinsAndLaterChangesToTheCallersProfileDoNot) {
    ProfileStore store(folder, log);
    auto profile = profileFor({"A", "B"}, "first");
    store.save(profile);
    profile.cameraID = "second";
    store.save(profile);
    profile.cameraID = "changed after saving";
    store.flush();
    EXPECT_EQ(store.load("A+B")->cameraID, "second");
}

TEST_F(ProfileStoreTest, DestroyingTheStoreFinishesQueuedSaves) {
    {
        ProfileStore store(folder, log);
        for (int i = 0; i < 20; ++i)
            store.save(profileFor({"A", "B"}, "camera-" + std::to_string(i)));
    }
    EXPECT_EQ(ProfileStore(folder, log).load("A+B")->cameraID, "camera-19");
}

TEST_F(ProfileStoreTest, MissingFilesAndOtherVersionsAreAbsentWithoutALogLine) {
    ProfileStore store(folder, log);
    EXPECT_EQ(store.load("A+B"), std::nullopt);

    auto future = profileFor({"A", "B"});
    future.version = 2;
    store.save(future);
    store.flush();
    EXPECT_TRUE(fs::exists(folder / ProfileStore::fileName("A+B")));
    EXPECT_EQ(store.load("A+B"), std::nullopt);

    // A folder where the file should be cannot be read either.
    fs::create_directory(folder / ProfileStore::fileName("X+Y"));
    EXPECT_EQ(store.load("X+Y"), std::nullopt);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProfileStoreTest, ACorruptFileIsReportedOnceKeptAndReplacedByTheNextSave) {
    ProfileStore store(folder, log);
    const auto file = folder / ProfileStore::fileName("A+B");
    writeFile(file, "{\"version\": 1, \"displays\": [");

    EXPECT_EQ(store.load("A+B"), std::nullopt);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].category, "profiles");
    EXPECT_EQ(log.lines()[0].level, LogLevel::error);
    EXPECT_TRUE(log.lines()[0].message.starts_with("Could not read profile: ")) << log.lines()[0].message;
    EXPECT_EQ(readFile(file), "{\"version\": 1, \"displays\": [");

    auto profile = profileFor({"A", "B"});
    store.save(profile);
    store.flush();
    EXPECT_EQ(store.load("A+B"), profile);
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(ProfileStoreTest, AProfileThatCannotBeEncodedIsLoggedAndKeepsThePreviousFile) {
    ProfileStore store(folder, log);
    auto good = profileFor({"A", "B"});
    store.save(good);
    auto bad = good;
    bad.calibrationSamples[0].pose.yaw = std::numeric_limits<double>::quiet_NaN();
    store.save(bad);
    store.flush();

    EXPECT_EQ(log.count("Could not save profile: "), 1u);
    EXPECT_EQ(store.load("A+B"), good);
}

// A write that fails half-way (here: the file size limit) must leave the old file and no temporary.
TEST_F(ProfileStoreTest, AFailedWriteKeepsThePreviousFileAndLeavesNoTemporaryFile) {
    ProfileStore store(folder, log);
    auto small = profileFor({"A", "B"});
    store.save(small);
    store.flush();
    const auto before = readFile(folder / ProfileStore::fileName("A+B"));

    auto large = writerProfile(398); // {A, B} with hundreds of clicks
    ASSERT_GT(encodeProfile(large).value->size(), 4 * before.size());

    rlimit saved{};
    getrlimit(RLIMIT_FSIZE, &saved);
    auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit limited = saved;
    limited.rlim_cur = before.size() * 2;
    setrlimit(RLIMIT_FSIZE, &limited);
    store.save(large);
    store.flush();
    setrlimit(RLIMIT_FSIZE, &saved);
    std::signal(SIGXFSZ, previousHandler);

    ASSERT_EQ(log.count("Could not save profile: "), 1u);
    EXPECT_NE(log.messages()[0].find("File too large"), std::string::npos) << log.messages()[0];
    EXPECT_EQ(readFile(folder / ProfileStore::fileName("A+B")), before);
    EXPECT_EQ(entries(folder), std::vector<std::string>{ProfileStore::fileName("A+B")});
}

TEST_F(ProfileStoreTest, AnUnwritableFolderIsLoggedAndKeepsThePreviousFile) {
    auto previous = profileFor({"A", "B"});
    {
        ProfileStore store(folder, log);
        store.save(previous);
    }
    if (geteuid() != 0) {
        // Permissions stop everyone but root.
        fs::permissions(folder, fs::perms::owner_read | fs::perms::owner_exec);
        ProfileStore store(folder, log);
        store.save(profileFor({"A", "B"}, "replacement"));
        store.flush();
        EXPECT_EQ(store.load("A+B"), previous);
    } else {
        // For root: a file sits where a parent folder of the store should be.
        writeFile(root / "blocked", "");
        ProfileStore store(root / "blocked/Orvane/Profiles", log);
        store.save(profileFor({"A", "B"}, "replacement"));
        store.flush();
        EXPECT_TRUE(fs::is_regular_file(root / "blocked"));
        EXPECT_EQ(ProfileStore(folder, log).load("A+B"), previous);
    }
    ASSERT_EQ(log.count("Could not save profile: "), 1u);
    EXPECT_EQ(log.lines()[0].level, LogLevel::error);
}

TEST_F(ProfileStoreTest, AFolderInPlaceOfTheFileFailsTheSaveWithoutLeftovers) {
    ProfileStore store(folder, log);
    fs::create_directories(folder / ProfileStore::fileName("A+B") / "inside");
    store.save(profileFor({"A", "B"}));
    store.flush();
    EXPECT_EQ(log.count("Could not save profile: "), 1u);
    EXPECT_EQ(entries(folder), std::vector<std::string>{ProfileStore::fileName("A+B")});
}

TEST_F(ProfileStoreTest, AFolderRemovedWhileRunningIsMadeAgainOnTheNextSave) {
    ProfileStore store(folder, log);
    fs::remove_all(root / "data");
    store.save(profileFor({"A", "B"}));
    store.flush();
    EXPECT_TRUE(store.load("A+B"));
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(ProfileStoreTest, OpeningRemovesTemporaryFilesOfInterruptedSavesOnly) {
    fs::create_directories(folder);
    writeFile(folder / ".fa84db19a0bc7705.json.a1B2c3", "{\"version\": 1, \"disp");
    writeFile(folder / ".hidden", "kept");
    writeFile(folder / "notes.txt", "kept");
    ProfileStore store(folder, log);
    EXPECT_EQ(entries(folder), (std::vector<std::string>{".hidden", "notes.txt"}));
}
