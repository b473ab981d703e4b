#include "engine/Paths.h"

#include "TemporaryFolder.h"

#include <gtest/gtest.h>
#include <map>
#include <sys/stat.h>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;

namespace {

Paths::Environment environment(std::map<std::string, std::string> variables) {
    return [variables](const char* name) -> std::optional<std::string> {
        auto found = variables.find(name);
        if (found == variables.end()) return std::nullopt;
        return found->second;
    };
}

} // namespace

TEST(Paths, XdgFoldersWinAndRelativeOrEmptyValuesFallBackToHome) {
    auto paths = Paths::resolve(environment({{"HOME", "/home/ada"},
                                             {"XDG_DATA_HOME", "/data"},
                                             {"XDG_CONFIG_HOME", "relative/config"},
                                             {"XDG_STATE_HOME", ""}}),
                                "/ignored");
    ASSERT_TRUE(paths);
    EXPECT_EQ(*paths, (Paths{"/data", "/home/ada/.config", "/home/ada/.local/state"}));
    EXPECT_EQ(paths->profiles(), "/data/Orvane/Profiles");
    EXPECT_EQ(paths->logs(), "/home/ada/.local/state/Orvane/Logs");
    EXPECT_EQ(paths->defaultsFile(), "/home/ada/.config/Orvane/Orvane.conf");
    EXPECT_EQ(paths->formerDefaultsFile(), "/home/ada/.config/Peltrix/Peltrix.conf");
    EXPECT_EQ(paths->formerProfiles(), "/data/Peltrix/Profiles");
}

TEST(Paths, TheHomeFolderComesFromThePasswordDatabaseWhenHomeIsUnusable) {
    EXPECT_EQ(Paths::resolve(environment({{"HOME", "relative"}}), "/home/bob"),
              (Paths{"/home/bob/.local/share", "/home/bob/.config", "/home/bob/.local/state"}));
    EXPECT_EQ(Paths::resolve(environment({}), std::nullopt), std::nullopt);
    EXPECT_EQ(Paths::resolve(
                  environment({{"XDG_DATA_HOME", "/d"}, {"XDG_CONFIG_HOME", "/c"}, {"XDG_STATE_HOME", "/s"}}),
                  std::nullopt),
              (Paths{"/d", "/c", "/s"}));
}

TEST(Paths, PrivateFoldersAreMadeWithTheirParentsAndLeaveExistingOnesAlone) {
    TemporaryFolder root;
    fs::create_directories(root / "shared");
    fs::permissions(root / "shared", fs::perms::all);

    EXPECT_FALSE(createPrivateFolders(root / "shared/a/b/"));
    EXPECT_FALSE(createPrivateFolders(root / "shared/a/b"));
    for (auto folder : {root / "shared/a", root / "shared/a/b"})
        EXPECT_EQ(fs::status(folder).permissions(), fs::perms::owner_all) << folder;
    EXPECT_EQ(fs::status(root / "shared").permissions(), fs::perms::all);

    writeFile(root / "file", "");
    EXPECT_EQ(createPrivateFolders(root / "file/a"), std::errc::not_a_directory);
}
