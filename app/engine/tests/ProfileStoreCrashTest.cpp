#include "CapturingLog.h"
#include "WriterProfile.h"
#include "desk/TemporaryFolder.h"
#include "engine/ProfileStore.h"

#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;
using namespace std::chrono;

extern char** environ;

namespace {

// Every file a load could read holds a whole profile that was saved; returns the highest number.
long long checkFolder(const fs::path& folder) {
    long long highest = -1;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".")) continue; // a temporary file of a save that was cut short
        auto decoded = decodeProfile(readFile(entry.path()));
        EXPECT_TRUE(decoded) << name << ": " << decoded.error;
        if (!decoded) continue;
        const long long number =
            std::atoll(decoded.value->cameraID.substr(std::string("writer-").size()).c_str());
        EXPECT_EQ(*decoded.value, writerProfile(number)) << name;
        EXPECT_EQ(name, ProfileStore::fileName(CalibrationProfile::key(decoded.value->screenIDs())));
        highest = std::max(highest, number);
    }
    return highest;
}

} // namespace

// A writer process saving profiles in a loop is killed at random moments; whatever is on disk
// afterwards must be a whole profile that was saved, never a partial or mixed one.
TEST(ProfileStoreCrash, KilledWritersLeaveOnlyWholeProfilesThatWereSaved) {
    TemporaryFolder root;
    const fs::path folder = root / "Profiles";
    const char* kills = std::getenv("ORVANE_PROFILE_WRITER_KILLS");
    const int runs = kills ? std::max(1, std::atoi(kills)) : 150;
    std::mt19937 random(20251206);
    int interrupted = 0; // kills that left a temporary file behind
    microseconds saveTime{0}, startUp{0};
    for (int run = 0; run < runs; ++run) {
        const std::string first = std::to_string(1'000'000LL * run);
        int reports[2];
        ASSERT_EQ(pipe(reports), 0);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, reports[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, reports[0]);
        const char* arguments[] = {ORVANE_PROFILE_WRITER, folder.c_str(), first.c_str(), nullptr};
        pid_t child = 0;
        const int spawned = posix_spawn(&child, ORVANE_PROFILE_WRITER, &actions, nullptr,
                                        const_cast<char* const*>(arguments), environ);
        posix_spawn_file_actions_destroy(&actions);
        close(reports[1]);
        ASSERT_EQ(spawned, 0);

        // The first writer saves twice (both files) to time a save; every later one saves once. The kill
        // then comes at a random moment of the next few saves, however slow the build.
        char report;
        const auto started = steady_clock::now();
        bool saved = read(reports[0], &report, 1) == 1;
        if (run == 0) {
            const auto firstSaved = steady_clock::now();
            saved = saved && read(reports[0], &report, 1) == 1;
            saveTime = duration_cast<microseconds>(steady_clock::now() - firstSaved);
            startUp = duration_cast<microseconds>(firstSaved - started);
        }
        std::this_thread::sleep_for(
            microseconds(std::uniform_int_distribution<long>(0, 3 * saveTime.count())(random)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        close(reports[0]);
        ASSERT_TRUE(saved && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer failed, status " << status;

        EXPECT_GE(checkFolder(folder), std::atoll(first.c_str())) << "a save it reported is missing";
        for (const auto& entry : fs::directory_iterator(folder))
            interrupted += entry.path().filename().string().starts_with(".");
        if (::testing::Test::HasFailure()) return;
    }
    std::printf("%d kills (writer start-up %lld ms, a save %lld ms), %d left a temporary file behind\n", runs,
                (long long)startUp.count() / 1000, (long long)saveTime.count() / 1000, interrupted);

    // The store loads both profiles and clears away what interrupted saves left behind.
    CapturingLog log;
    ProfileStore store(folder, log);
    EXPECT_TRUE(store.load("A+B"));
    EXPECT_TRUE(store.load("A+B+C"));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
}
