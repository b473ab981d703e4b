#include "platform/Autostart.h"

#include "desk/TemporaryFolder.h"
#include "engine/tests/CapturingLog.h"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;

namespace {

struct AutostartTest : ::testing::Test {
    TemporaryFolder config;
    CapturingLog log;
    XdgAutostart autostart{config.path(), "/opt/orvane/bin/orvane", log};
};

} // namespace

TEST_F(AutostartTest, RegisterWritesTheEntryUnregisterRemovesItAndTheDesktopMayHideIt) {
    EXPECT_FALSE(autostart.isRegistered());
    ASSERT_TRUE(autostart.setRegistered(true));
    EXPECT_TRUE(autostart.isRegistered());
    const std::string text = readFile(config / "autostart/orvane.desktop");
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\nType=Application\n")) << text;
    EXPECT_NE(text.find("\nExec=\"/opt/orvane/bin/orvane\"\n"), std::string::npos) << text;
    EXPECT_EQ(std::distance(fs::directory_iterator(config / "autostart"), fs::directory_iterator()), 1)
        << "no temporary file is left behind";
    ASSERT_TRUE(autostart.setRegistered(true)) << "registering twice is fine";
    ASSERT_TRUE(autostart.setRegistered(false));
    EXPECT_FALSE(autostart.isRegistered());
    EXPECT_FALSE(fs::exists(autostart.file()));
    EXPECT_TRUE(autostart.setRegistered(false)) << "nothing to remove is not a failure";
    // Hidden by the desktop's settings: not registered; only the main group's key counts.
    writeFile(autostart.file(), "[Desktop Entry]\nExec=orvane\n[Desktop Action x]\nHidden=true\n");
    EXPECT_TRUE(autostart.isRegistered());
    writeFile(autostart.file(), "[Desktop Entry]\nType=Application\nExec=orvane\nHidden = true\n");
    EXPECT_FALSE(autostart.isRegistered());
    ASSERT_TRUE(autostart.setRegistered(true));
    EXPECT_TRUE(autostart.isRegistered());
    EXPECT_EQ(readFile(autostart.file()).find("Hidden"), std::string::npos);
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(AutostartTest, TheEntryStartsThisProgramByItsQuotedAbsolutePathOrFailsVisibly) {
    EXPECT_TRUE(XdgAutostart::currentProgram().is_absolute());
    EXPECT_EQ(XdgAutostart::currentProgram().filename(), "platform_tests");
    // A literal $, " or ` takes two backslashes in the file, a backslash four; % is doubled.
    EXPECT_EQ(desktopExecValue("/home/a b/orvane"), "\"/home/a b/orvane\"");
    EXPECT_EQ(desktopExecValue("/x/$HOME/\"q\"/`c`/100%/a\\b"),
              R"("/x/\\$HOME/\\"q\\"/\\`c\\`/100%%/a\\\\b")");
    EXPECT_EQ(desktopExecValue("/tmp/line\nbreak"), std::nullopt);
    // A relative path starts nothing predictable.
    XdgAutostart relative{config.path(), "bin/orvane", log};
    EXPECT_FALSE(relative.setRegistered(true));
    EXPECT_FALSE(relative.isRegistered());
    EXPECT_EQ(log.lines().size(), 1u);
    // A file where the folder should be: nothing can be written, whoever runs the test.
    writeFile(config / "autostart", "");
    EXPECT_FALSE(autostart.setRegistered(true));
    EXPECT_FALSE(autostart.isRegistered());
    EXPECT_EQ(log.lines().size(), 2u);
}
