#include "CapturingLog.h"
#include "TemporaryFolder.h"
#include "WriterProfile.h"
#include "engine/ProfileStore.h"

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
    TemporaryFolder root;
    const fs::path folder = root / "Profiles";
    std::mt19937 random(20251206);
    std::uniform_int_distribution<int> delay(0, 30'000); // microseconds
    const int kills = killCount();

    std::set<long long> seen;
    int interrupted = 0; // kills that left a temporary file behind
    for (int run = 0; run < kills; ++run) {
        const std::string first = std::to_string(1'000'000LL * run);
        const std::string writer = ORVANE_PROFILE_WRITER;
        char* arguments[] = {const_cast<char*>(writer.c_str()), const_cast<char*>(folder.c_str()),
                             const_cast<char*>(first.c_str()), nullptr};
        pid_t child = 0;
        ASSERT_EQ(posix_spawn(&child, writer.c_str(), nullptr, nullptr, arguments, environ), 0);
        std::this_thread::sleep_for(std::chrono::microseconds(delay(random)));
        kill(child, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
            << "the writer failed, status " << status;

        if (!fs::exists(folder)) continue;
        auto numbers = checkFolder(folder);
        seen.insert(numbers.begin(), numbers.end());
        for (const auto& entry : fs::directory_iterator(folder))
            if (entry.path().filename().string().starts_with(".")) {
                ++interrupted;
                break;
            }
        if (::testing::Test::HasFailure()) return;
    }
    std::printf("%d kills, %d left a temporary file, %zu distinct profiles seen\n", kills, interrupted,
                seen.size());

    // Not vacuous: writers got as far as replacing files (most runs do; a loaded machine slows them).
    EXPECT_GE(seen.size(), 2u);

    // The store loads both profiles and clears away what interrupted saves left behind.
    CapturingLog log;
    ProfileStore store(folder, log);
    EXPECT_TRUE(store.load("A+B"));
    EXPECT_TRUE(store.load("A+B+C"));
    EXPECT_TRUE(log.lines().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(folder), fs::directory_iterator()), 2);
}
