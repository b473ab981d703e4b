#include "engine/Paths.h"

#include <gtest/gtest.h>
#include <map>

using namespace orvane;

TEST(Paths, XdgFoldersWinRelativeOrEmptyOnesFallBackToHomeThenToThePasswordDatabase) {
    auto resolve = [](std::map<std::string, std::string> variables, std::optional<std::string> passwordHome) {
        return Paths::resolve(
            [&](const char* name) -> std::optional<std::string> {
                return variables.contains(name) ? std::optional(variables[name]) : std::nullopt;
            },
            passwordHome);
    };
    const auto paths = resolve({{"HOME", "/home/ada"},
                                {"XDG_DATA_HOME", "/data"},
                                {"XDG_CONFIG_HOME", "rel"},
                                {"XDG_STATE_HOME", ""}},
                               "/ignored");
    EXPECT_EQ(paths, (Paths{"/data", "/home/ada/.config", "/home/ada/.local/state"}));
    EXPECT_EQ(paths->profiles(), "/data/Orvane/Profiles");
    EXPECT_EQ(paths->logs(), "/home/ada/.local/state/Orvane/Logs");
    EXPECT_EQ(resolve({{"HOME", "relative"}}, "/home/bob"),
              (Paths{"/home/bob/.local/share", "/home/bob/.config", "/home/bob/.local/state"}));
    EXPECT_EQ(resolve({}, std::nullopt), std::nullopt);
}
