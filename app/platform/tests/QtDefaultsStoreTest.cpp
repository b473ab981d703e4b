#include "platform/QtDefaultsStore.h"

#include "engine/Migration.h"
#include "engine/Settings.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <stdexcept>
#include <stdlib.h>

using namespace orvane;
namespace fs = std::filesystem;
using Value = DefaultsStore::Value;

namespace {

std::string readFile(const fs::path& path) {
    std::ifstream in(path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path) << text;
}

fs::path temporaryFolder() {
    std::string pattern = (fs::temp_directory_path() / "orvane-defaults-XXXXXX").string();
    if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
    return pattern;
}

struct QtDefaultsStoreTest : ::testing::Test {
    ~QtDefaultsStoreTest() override { fs::remove_all(root); }

    fs::path root = temporaryFolder();
    fs::path file = root / "config/Orvane/Orvane.conf";
};

} // namespace

TEST_F(QtDefaultsStoreTest, ValuesSurviveAsTextAndReadBackTyped) {
    const double awkward = 0.1 + 0.2;
    {
        QtDefaultsStore store(file);
        EXPECT_FALSE(fs::exists(file));
        store.set("paused", true);
        store.set("switchDelay", awkward);
        store.set("cameraID", std::string("usb:046d:0825:AB12/if00/idx0"));
    }
    EXPECT_EQ(fs::status(root / "config/Orvane").permissions(), fs::perms::owner_all);
    const std::string text = readFile(file);
    EXPECT_NE(text.find("paused=true\n"), std::string::npos) << text;
    EXPECT_NE(text.find("switchDelay=0.30000000000000004\n"), std::string::npos) << text;

    QtDefaultsStore store(file);
    EXPECT_TRUE(store.boolValue("paused"));
    EXPECT_EQ(store.doubleValue("switchDelay"), awkward);
    EXPECT_EQ(store.stringValue("cameraID"), "usb:046d:0825:AB12/if00/idx0");
    EXPECT_EQ(store.value("paused"), Value(std::string("true")));
    auto keys = store.keys();
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, (std::vector<std::string>{"cameraID", "paused", "switchDelay"}));
}

TEST_F(QtDefaultsStoreTest, TextThatDoesNotConvertFallsBackToTheRegisteredDefault) {
    writeFile(file, "[General]\n"
                    "paused=TRUE\n"
                    "movePointer=0\n"
                    "showHUD=maybe\n"
                    "switchDelay=0.8\n"
                    "typingPause=slow\n"
                    "pointerPause=\n"
                    "list=a, b\n");
    QtDefaultsStore store(file);
    store.registerDefaults({{"movePointer", true},
                            {"showHUD", true},
                            {"typingPause", 1.0},
                            {"pointerPause", 1.5},
                            {"list", std::string("default")}});

    EXPECT_TRUE(store.boolValue("paused"));
    EXPECT_FALSE(store.boolValue("movePointer"));
    EXPECT_TRUE(store.boolValue("showHUD"));
    EXPECT_EQ(store.doubleValue("switchDelay"), 0.8);
    EXPECT_EQ(store.doubleValue("typingPause"), 1.0);
    EXPECT_EQ(store.doubleValue("pointerPause"), 1.5);
    EXPECT_EQ(store.stringValue("list"), "default"); // unquoted commas make a list
    EXPECT_EQ(store.stringValue("switchDelay"), "0.8");

    // Neither stored nor registered: false, 0, absent.
    EXPECT_FALSE(store.boolValue("unknown"));
    EXPECT_EQ(store.doubleValue("unknown"), 0);
    EXPECT_EQ(store.stringValue("unknown"), std::nullopt);
    EXPECT_EQ(store.value("movePointer"), Value(std::string("0")));
    EXPECT_EQ(store.value("unknown"), std::nullopt);
}

TEST_F(QtDefaultsStoreTest, AnyTextRoundTripsAndRemovedKeysAreGoneFromTheFile) {
    const std::vector<std::string> texts = {"a, b",      "@Variant(0)",       "  spaced  ", "line\nbreak",
                                            "ünïcode ✓", "semi;colon=equals", "true",       ""};
    {
        QtDefaultsStore store(file);
        for (std::size_t i = 0; i < texts.size(); ++i)
            store.set("text" + std::to_string(i), texts[i]);
        store.set("cameraID", std::string("cam"));
        store.remove("cameraID");
    }
    QtDefaultsStore store(file);
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(store.stringValue("text" + std::to_string(i)), texts[i]) << i;
    EXPECT_EQ(store.value("cameraID"), std::nullopt);
    EXPECT_EQ(readFile(file).find("cameraID"), std::string::npos);
}

// The whole start-up path: the former product's file imported, then read by the settings.
TEST_F(QtDefaultsStoreTest, TheMigrationImportsTheFormerFileForTheSettings) {
    const fs::path formerFile = root / "config/Peltrix/Peltrix.conf";
    writeFile(formerFile, "[General]\nswitchDelay=0.8\ncameraID=cam\npaused=true\n");
    {
        QtDefaultsStore defaults(file);
        defaults.set("paused", false);
        QtDefaultsStore former(formerFile);
        Migration::run(defaults, &former, root / "data/Peltrix/Profiles", root / "data/Orvane/Profiles");
    }
    QtDefaultsStore defaults(file);
    Settings settings(defaults);
    EXPECT_EQ(settings.switchDelay(), 0.8);
    EXPECT_EQ(settings.cameraID(), "cam");
    EXPECT_FALSE(settings.paused());
    EXPECT_TRUE(defaults.boolValue("migratedFromPeltrix"));
    EXPECT_FALSE(fs::exists(root / "data"));
}
