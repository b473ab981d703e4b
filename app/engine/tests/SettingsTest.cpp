#include "engine/Settings.h"

#include "FakePlatform.h"

#include <gtest/gtest.h>

using namespace orvane;
using Values = std::map<std::string, DefaultsStore::Value>;

// Each preference lives under its key in the defaults store, from where the next launch reads it.
TEST(Settings, RegistersTheDefaultsAndWritesEachChangeUnderItsKey) {
    test::FakeDefaultsStore store;
    Settings settings(store);
    EXPECT_EQ(store.registered, (Values{{"paused", false},
                                        {"switchDelay", 0.3},
                                        {"turnSensitivity", 0.5},
                                        {"typingPause", 1.0},
                                        {"pointerPause", 1.5},
                                        {"movePointer", true},
                                        {"learnFromClicks", true},
                                        {"showHUD", false},
                                        {"diagnosticsEnabled", false},
                                        {"onboardingCompleted", false},
                                        {"flashFocus", true}}));
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
    EXPECT_EQ(store.stored, (Values{{"paused", true},
                                    {"switchDelay", 0.5},
                                    {"turnSensitivity", 1.0},
                                    {"typingPause", 2.0},
                                    {"pointerPause", 3.0},
                                    {"movePointer", false},
                                    {"learnFromClicks", false},
                                    {"showHUD", true},
                                    {"diagnosticsEnabled", true},
                                    {"onboardingCompleted", true},
                                    {"flashFocus", false},
                                    {"cameraID", std::string("cam")}}));
    const Settings next(store);
    EXPECT_EQ(std::tuple(next.paused(), next.movePointer(), next.learnFromClicks(), next.showHUD(),
                         next.diagnostics(), next.onboardingCompleted(), next.flashFocus(), next.cameraID()),
              std::tuple(true, false, false, true, true, true, false, std::optional<std::string>("cam")));
    EXPECT_EQ(next.deciderConfiguration(),
              (SwitchDecider::Configuration{0.5, 0.6 + 0.35, 2.0, 3.0, 0.6, 0.2}));

    settings.setCameraID(std::nullopt);            // the default camera has no key
    store.set("switchDelay", std::string("slow")); // a value of another type reads as the default
    EXPECT_EQ(Settings(store).cameraID(), std::nullopt);
    EXPECT_EQ(Settings(store).switchDelay(), 0.3);
}
