#include "CapturingLog.h"
#include "TemporaryFolder.h"
#include "WriterProfile.h"
#include "engine/ProfileStore.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <gtest/gtest.h>
#include <random>
#include <set>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;

extern char** environ;

namespace {

// Every file a load could read holds a complete profile that was saved; returns the numbers found.
std::set<long long> checkFolder(const fs::path& folder) {
    std::set<long long> numbers;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(".")) continue; // a temporary file of a save that was cut short
        auto decoded = decodeProfile(readFile(entry.path()));
        EXPECT_TRUE(decoded) << name << ": " << decoded.error;
        if (!decoded) continue;
        auto number = writerNumber(*decoded.value);
        EXPECT_TRUE(number) << name;
        if (!number) continue;
        EXPECT_EQ(*decoded.value, writerProfile(*number)) << name;
        EXPECT_EQ(name, ProfileStore::fileName(CalibrationProfile::key(decoded.value->screenIDs())));
        numbers.insert(*number);
    }
    return numbers;
}

int killCount() {
    if (const char* text = std::getenv("ORVANE_PROFILE_WRITER_KILLS")) return std::max(1, std::atoi(text));
    return 150;
}

} // namespace

// A writer process saving profiles in a loop is killed at random moments; whatever is on disk
// afterwards must be a whole profile that was saved, never a partial or mixed one.
TEST(ProfileStoreCrash, KilledWritersLeaveOnlyWholeProfiles) {
    using namespace std::chrono;
    TemporaryFolder root;
    const fs::path folder = root / "Profiles";
    const std::string writer = ORVANE_PROFILE_WRITER;
    auto spawn = [&](long long first) {
        const std::string number = std::to_string(first);
        char* arguments[] = {const_cast<char*>(writer.c_str()), const_cast<char*>(folder.c_str()),
                             const_cast<char*>(number.c_str()), nullptr};
        pid_t child = 0;
        EXPECT_EQ(posix_spawn(&child, writer.c_str(), nullptr, nullptr, arguments, environ), 0);
        return child;
    };
    auto killAndCheck = [](pid_t child) {
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer failed, status " << status;
    };
    const fs::path both[] = {folder / ProfileStore::fileName("A+B"),
                             folder / ProfileStore::fileName("A+B+C")};

    // A first writer runs until both files exist; its start-up time scales the kill moments, so that
    // they spread over start-up and saving on slow (sanitised or loaded) builds too.
    const auto started = steady_clock::now();
    pid_t first = spawn(0);
    ASSERT_GT(first, 0);
    while (!(fs::exists(both[0]) && fs::exists(both[1])) && steady_clock::now() - started < seconds(20))
        std::this_thread::sleep_for(milliseconds(1));
    const auto warmUp = duration_cast<microseconds>(steady_clock::now() - started);
    killAndCheck(first);
    ASSERT_TRUE(fs::exists(both[0]) && fs::exists(both[1])) << "the writer saved nothing";

    std::mt19937 random(20251206);
    std::uniform_int_distribution<long long> delay(
        0, std::clamp<long long>(2 * warmUp.count(), 30'000, 250'000));
    const int kills = killCount();
    int interrupted = 0; // kills that left a temporary file behind
    int saved = 0;       // runs that replaced at least one file
    for (int run = 1; run <= kills; ++run) {
        const long long firstNumber = 1'000'000LL * run;
        pid_t child = spawn(firstNumber);
        ASSERT_GT(child, 0);
        std::this_thread::sleep_for(microseconds(delay(random)));
        killAndCheck(child);
        if (::testing::Test::HasFatalFailure()) return;

        auto numbers = checkFolder(folder);
        if (!numbers.empty() && *numbers.rbegin() >= firstNumber) ++saved;
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().starts_with(".")) {
                ++interrupted;
                break;
            }
        if (::testing::Test::HasFailure()) return;
    }
    std::printf("%d kills (start-up %lld ms): %d runs saved, %d kills left a temporary file\n", kills,
                (long long)(warmUp.count() / 1000), saved, interrupted);

    // Not vacuous: many writers got as far as replacing files.
    EXPECT_GE(saved, kills / 10);

    // The store loads both profiles and clears away what interrupted saves left behind.
    CapturingLog log;
    ProfileStore store(folder, log);
    EXPECT_TRUE(store.load("A+B"));
    EXPECT_TRUE(store.load("A+B+C"));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
}
