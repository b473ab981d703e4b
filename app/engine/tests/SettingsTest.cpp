#include "engine/Settings.h"

#include "FakePlatform.h"

#include <gtest/gtest.h>

using namespace orvane;

// Each preference lives under its key in the defaults store, from where the next launch reads it.
TEST(Settings, StartsFromTheDefaultsAndTheNextLaunchReadsEachChangeFromItsKey) {
    test::FakeDefaultsStore store;
    auto all = [](const Settings& s) {
        return std::tuple(s.paused(), s.switchDelay(), s.turnSensitivity(), s.typingPause(), s.pointerPause(),
                          s.movePointer(), s.learnFromClicks(), s.showHUD(), s.diagnostics(),
                          s.onboardingCompleted(), s.flashFocus(), s.cameraID());
    };
    Settings settings(store);
    EXPECT_EQ(all(settings), std::tuple(false, 0.3, 0.5, 1.0, 1.5, true, true, false, false, false, true,
                                        std::optional<std::string>()));
    EXPECT_EQ(settings.deciderConfiguration(),
              (SwitchDecider::Configuration{0.3, 0.6 + 0.35 * 0.5, 1.0, 1.5, 0.6, 0.2}));
    EXPECT_TRUE(store.stored.empty());

    settings.setPaused(true);
    settings.setSwitchDelay(0.5);
    settings.setTurnSensitivity(1);
    settings.setTypingPause(2);
    settings.setPointerPause(3);
    settings.setMovePointer(false);
    settings.setLearnFromClicks(false);
    settings.setShowHUD(true);
    settings.setDiagnostics(true);
    settings.setOnboardingCompleted(true);
    settings.setFlashFocus(false);
    settings.setCameraID("cam");
    EXPECT_EQ(store.keys(),
              (std::vector<std::string>{"cameraID", "diagnosticsEnabled", "flashFocus", "learnFromClicks",
                                        "movePointer", "onboardingCompleted", "paused", "pointerPause",
                                        "showHUD", "switchDelay", "turnSensitivity", "typingPause"}));
    const Settings next(store);
    EXPECT_EQ(all(next), std::tuple(true, 0.5, 1.0, 2.0, 3.0, false, false, true, true, true, false,
                                    std::optional<std::string>("cam")));
    EXPECT_EQ(next.deciderConfiguration(),
              (SwitchDecider::Configuration{0.5, 0.6 + 0.35, 2.0, 3.0, 0.6, 0.2}));

    settings.setCameraID(std::nullopt); // the default camera has no key
    // Text as a settings file holds it converts; text that does not reads as the default.
    store.set("switchDelay", std::string("slow"));
    store.set("showHUD", std::string("Yes"));
    store.set("learnFromClicks", std::string("FALSE"));
    store.set("movePointer", std::string("0"));
    store.set("typingPause", std::string("0.8"));
    EXPECT_EQ(all(Settings(store)), std::tuple(true, 0.3, 1.0, 0.8, 3.0, false, false, true, true, true,
                                               false, std::optional<std::string>()));
}
