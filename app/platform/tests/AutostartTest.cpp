#include "platform/Autostart.h"

#include "engine/tests/CapturingLog.h"
#include "engine/tests/TemporaryFolder.h"

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

TEST_F(AutostartTest, RegisterWritesAnEntryThatStartsTheProgramAndUnregisterRemovesIt) {
    EXPECT_FALSE(autostart.isRegistered());
    EXPECT_EQ(autostart.file(), config / "autostart/orvane.desktop");

    ASSERT_TRUE(autostart.setRegistered(true));
    EXPECT_TRUE(autostart.isRegistered());
    const std::string text = readFile(autostart.file());
    EXPECT_TRUE(text.starts_with("[Desktop Entry]\n")) << text;
    EXPECT_NE(text.find("\nType=Application\n"), std::string::npos) << text;
    EXPECT_NE(text.find("\nExec=\"/opt/orvane/bin/orvane\"\n"), std::string::npos) << text;
    // Nothing but the entry is left in the folder.
    EXPECT_EQ(std::distance(fs::directory_iterator(config / "autostart"), fs::directory_iterator()), 1);

    ASSERT_TRUE(autostart.setRegistered(true)) << "registering twice is fine";
    ASSERT_TRUE(autostart.setRegistered(false));
    EXPECT_FALSE(autostart.isRegistered());
    EXPECT_FALSE(fs::exists(autostart.file()));
    EXPECT_TRUE(autostart.setRegistered(false)) << "nothing to remove is not a failure";
    EXPECT_TRUE(log.lines().empty());
}

TEST_F(AutostartTest, AnEntryHiddenByTheDesktopIsNotRegisteredUntilRegisteredAgain) {
    fs::create_directories(config / "autostart");
    writeFile(autostart.file(), "[Desktop Entry]\nType=Application\nExec=orvane\nHidden = true\n");
    EXPECT_FALSE(autostart.isRegistered());

    // Only the main group's key counts.
    writeFile(autostart.file(),
              "[Desktop Entry]\nExec=orvane\nHidden=false\n[Desktop Action x]\nHidden=true\n");
    EXPECT_TRUE(autostart.isRegistered());

    writeFile(autostart.file(), "[Desktop Entry]\nHidden=true\n");
    ASSERT_TRUE(autostart.setRegistered(true));
    EXPECT_TRUE(autostart.isRegistered());
    EXPECT_EQ(readFile(autostart.file()).find("Hidden"), std::string::npos);
}

TEST(DesktopExecValueTest, QuotesAndEscapesTheProgramPath) {
    EXPECT_EQ(desktopExecValue("/home/a b/orvane"), "\"/home/a b/orvane\"");
    // A literal $, " or ` takes two backslashes in the file, a backslash four; % is doubled.
    EXPECT_EQ(desktopExecValue("/x/$HOME/\"q\"/`c`/100%/a\\b"),
              R"("/x/\\$HOME/\\"q\\"/\\`c\\`/100%%/a\\\\b")");
    EXPECT_EQ(desktopExecValue("orvane"), std::nullopt) << "a relative path starts nothing predictable";
    EXPECT_EQ(desktopExecValue("/tmp/line\nbreak"), std::nullopt);
}

TEST_F(AutostartTest, FailuresAreReportedAndLeaveTheStateAsItWas) {
    XdgAutostart relative{config.path(), "bin/orvane", log};
    EXPECT_FALSE(relative.setRegistered(true));
    EXPECT_FALSE(relative.isRegistered());
    EXPECT_EQ(log.lines().size(), 1u);

    // A file where the folder should be: nothing can be written, whoever runs the test.
    writeFile(config / "autostart", "");
    EXPECT_FALSE(autostart.setRegistered(true));
    EXPECT_FALSE(autostart.isRegistered());
    EXPECT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines().back().category, "engine");
}

TEST(XdgAutostartProgramTest, TheCurrentProgramIsAnAbsolutePathToThisExecutable) {
    const fs::path program = XdgAutostart::currentProgram();
    EXPECT_TRUE(program.is_absolute());
    EXPECT_EQ(program.filename(), "platform_tests");
}
