#include "engine/Migration.h"

#include "FakeDefaultsStore.h"
#include "TemporaryFolder.h"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;
using Value = DefaultsStore::Value;

namespace {

struct MigrationTest : ::testing::Test {
    TemporaryFolder root;
    fs::path former = root / "data/Peltrix/Profiles";
    fs::path target = root / "data/Orvane/Profiles";
    FakeDefaultsStore defaults;
};

} // namespace

TEST_F(MigrationTest, CopiesFormerPreferencesTheProgramHasNoValueFor) {
    defaults.set("switchDelay", 0.5);
    FakeDefaultsStore peltrix(
        {{"switchDelay", 0.9}, {"paused", true}, {"cameraID", std::string("cam")}, {"turnSensitivity", 0.2}});

    Migration::run(defaults, &peltrix, former, target);

    const std::map<std::string, Value> expected = {{"switchDelay", 0.5},
                                                   {"paused", true},
                                                   {"cameraID", std::string("cam")},
                                                   {"turnSensitivity", 0.2},
                                                   {"migratedFromPeltrix", true}};
    EXPECT_EQ(defaults.stored(), expected);
    EXPECT_EQ(peltrix.stored().size(), 4u);
}

TEST_F(MigrationTest, CopiesProfilesWithoutOverwritingMovingOrDeleting) {
    fs::create_directories(former);
    fs::create_directories(target);
    writeFile(former / "aaaaaaaaaaaaaaaa.json", "former a");
    fs::permissions(former / "aaaaaaaaaaaaaaaa.json", fs::perms::all);
    writeFile(former / "bbbbbbbbbbbbbbbb.json", "former b");
    writeFile(target / "bbbbbbbbbbbbbbbb.json", "current b");

    Migration::run(defaults, nullptr, former, target);

    EXPECT_EQ(readFile(target / "aaaaaaaaaaaaaaaa.json"), "former a");
    EXPECT_EQ(readFile(target / "bbbbbbbbbbbbbbbb.json"), "current b");
    EXPECT_EQ(readFile(former / "aaaaaaaaaaaaaaaa.json"), "former a");
    EXPECT_EQ(readFile(former / "bbbbbbbbbbbbbbbb.json"), "former b");
    EXPECT_EQ(fs::status(target / "aaaaaaaaaaaaaaaa.json").permissions(),
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_TRUE(defaults.boolValue("migratedFromPeltrix"));
}

TEST_F(MigrationTest, WithoutTheFormerProductNothingIsCreatedAndTheMarkerIsSet) {
    Migration::run(defaults, nullptr, former, target);
    EXPECT_FALSE(fs::exists(root / "data"));
    EXPECT_EQ(defaults.stored(), (std::map<std::string, Value>{{"migratedFromPeltrix", true}}));
}

TEST_F(MigrationTest, RunsOnlyOnce) {
    FakeDefaultsStore peltrix;
    Migration::run(defaults, &peltrix, former, target);

    fs::create_directories(former);
    writeFile(former / "aaaaaaaaaaaaaaaa.json", "appeared later");
    peltrix.set("paused", true);
    Migration::run(defaults, &peltrix, former, target);

    EXPECT_FALSE(fs::exists(target));
    EXPECT_FALSE(defaults.value("paused"));
}

TEST_F(MigrationTest, FileErrorsAreIgnoredAndStillSetTheMarker) {
    fs::create_directories(former);
    writeFile(former / "aaaaaaaaaaaaaaaa.json", "former a");
    // The target folder cannot be made: a file sits where its parent should be.
    fs::create_directories(root / "data");
    writeFile(root / "data/Orvane", "");

    Migration::run(defaults, nullptr, former, target);
    EXPECT_TRUE(defaults.boolValue("migratedFromPeltrix"));
    EXPECT_TRUE(fs::is_regular_file(root / "data/Orvane"));
}
