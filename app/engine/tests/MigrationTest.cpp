#include "engine/Migration.h"

#include "FakePlatform.h"
#include "desk/TemporaryFolder.h"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;
using Values = std::map<std::string, DefaultsStore::Value>;

namespace {

struct MigrationTest : ::testing::Test {
    TemporaryFolder root;
    fs::path former = root / "data/Peltrix/Profiles";
    fs::path target = root / "data/Orvane/Profiles";
    FakeDefaultsStore defaults, peltrix;
};

} // namespace

TEST_F(MigrationTest, CopiesWhatTheProgramLacksOnceWithoutOverwritingMovingOrDeleting) {
    defaults.set("switchDelay", 0.5);
    peltrix.stored = {{"switchDelay", 0.9}, {"paused", true}, {"cameraID", std::string("cam")}};
    fs::create_directories(former);
    fs::create_directories(target);
    writeFile(former / "a.json", "former a");
    fs::permissions(former / "a.json", fs::perms::all);
    writeFile(former / "b.json", "former b");
    writeFile(target / "b.json", "current b");

    Migration::run(defaults, &peltrix, former, target);
    EXPECT_EQ(defaults.stored, (Values{{"switchDelay", 0.5},
                                       {"paused", true},
                                       {"cameraID", std::string("cam")},
                                       {"migratedFromPeltrix", true}}));
    EXPECT_EQ(peltrix.stored.size(), 3u);
    EXPECT_EQ(readFile(target / "a.json"), "former a");
    EXPECT_EQ(fs::status(target / "a.json").permissions(), fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(readFile(target / "b.json"), "current b");
    EXPECT_EQ(readFile(former / "a.json") + readFile(former / "b.json"), "former aformer b");

    writeFile(former / "c.json", "appeared later");
    peltrix.set("learnFromClicks", false);
    Migration::run(defaults, &peltrix, former, target);
    EXPECT_FALSE(fs::exists(target / "c.json"));
    EXPECT_FALSE(defaults.value("learnFromClicks"));
}

TEST_F(MigrationTest, WithoutTheFormerProductNothingIsCreatedAndFileErrorsAreIgnored) {
    Migration::run(defaults, nullptr, former, target);
    EXPECT_FALSE(fs::exists(root / "data"));
    EXPECT_EQ(defaults.stored, (Values{{"migratedFromPeltrix", true}}));

    FakeDefaultsStore fresh;
    fs::create_directories(former);
    writeFile(former / "a.json", "former a");
    writeFile(root / "data/Orvane", ""); // where the target's parent folder should be
    Migration::run(fresh, nullptr, former, target);
    EXPECT_TRUE(fresh.boolValue("migratedFromPeltrix"));
    EXPECT_TRUE(fs::is_regular_file(root / "data/Orvane"));
}
