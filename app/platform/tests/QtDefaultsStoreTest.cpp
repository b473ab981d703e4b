#include "platform/QtDefaultsStore.h"

#include "desk/TemporaryFolder.h"

#include <algorithm>
#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;
namespace fs = std::filesystem;
using Value = DefaultsStore::Value;

namespace {

struct QtDefaultsStoreTest : ::testing::Test {
    TemporaryFolder root;
    fs::path file = root / "config/Orvane/Orvane.conf";
};

} // namespace

TEST_F(QtDefaultsStoreTest, ValuesSurviveAsTextAndReadBackTyped) {
    const double awkward = 0.1 + 0.2;
    const std::vector<std::string> texts = {"a, b",      "@Variant(0)",       "  spaced  ", "line\nbreak",
                                            "ünïcode ✓", "semi;colon=equals", "true",       ""};
    {
        QtDefaultsStore store(file);
        EXPECT_FALSE(fs::exists(file)) << "nothing is created before a value is written";
        store.set("paused", true);
        store.set("switchDelay", awkward);
        for (std::size_t i = 0; i < texts.size(); ++i)
            store.set("text" + std::to_string(i), texts[i]);
        store.set("cameraID", std::string("cam"));
        store.remove("cameraID");
    }
    EXPECT_EQ(fs::status(root / "config/Orvane").permissions(), fs::perms::owner_all);
    const std::string text = readFile(file);
    EXPECT_NE(text.find("paused=true\n"), std::string::npos) << text;
    EXPECT_NE(text.find("switchDelay=0.30000000000000004\n"), std::string::npos) << text;
    EXPECT_EQ(text.find("cameraID"), std::string::npos) << text;
    QtDefaultsStore store(file);
    EXPECT_TRUE(store.boolValue("paused"));
    EXPECT_EQ(store.doubleValue("switchDelay"), awkward);
    EXPECT_EQ(store.value("paused"), Value(std::string("true")));
    EXPECT_EQ(store.value("cameraID"), std::nullopt);
    for (std::size_t i = 0; i < texts.size(); ++i)
        EXPECT_EQ(store.stringValue("text" + std::to_string(i)), texts[i]) << i;
    auto keys = store.keys();
    EXPECT_EQ(keys.size(), 2 + texts.size());
    EXPECT_EQ(std::count(keys.begin(), keys.end(), "switchDelay"), 1);
}

TEST_F(QtDefaultsStoreTest, TextThatDoesNotConvertFallsBackToTheRegisteredDefault) {
    fs::create_directories(file.parent_path());
    writeFile(file, "[General]\npaused=TRUE\nmovePointer=0\nshowHUD=maybe\nswitchDelay=0.8\n"
                    "typingPause=slow\npointerPause=\nlist=a, b\n");
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
    EXPECT_EQ(store.value("movePointer"), Value(std::string("0")));
    // Neither stored nor registered: false, 0, absent.
    EXPECT_FALSE(store.boolValue("unknown"));
    EXPECT_EQ(store.doubleValue("unknown"), 0);
    EXPECT_EQ(store.stringValue("unknown"), std::nullopt);
    EXPECT_EQ(store.value("unknown"), std::nullopt);
}
