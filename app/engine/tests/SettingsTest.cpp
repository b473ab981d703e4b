#include "engine/Settings.h"

#include "FakeDefaultsStore.h"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;
using Value = DefaultsStore::Value;

TEST(Settings, AFreshStoreGivesTheDefaults) {
    FakeDefaultsStore store;
    Settings settings(store);

    EXPECT_FALSE(settings.paused());
    EXPECT_EQ(settings.switchDelay(), 0.3);
    EXPECT_EQ(settings.turnSensitivity(), 0.5);
    EXPECT_EQ(settings.typingPause(), 1.0);
    EXPECT_EQ(settings.pointerPause(), 1.5);
    EXPECT_TRUE(settings.movePointer());
    EXPECT_TRUE(settings.learnFromClicks());
    EXPECT_EQ(settings.cameraID(), std::nullopt);
    EXPECT_FALSE(settings.showHUD());
    EXPECT_FALSE(settings.diagnostics());
    EXPECT_FALSE(settings.onboardingCompleted());

    // Ten registered defaults, none for the camera; nothing is written by reading.
    EXPECT_EQ(store.registered().size(), 10u);
    EXPECT_FALSE(store.registered().contains("cameraID"));
    EXPECT_EQ(store.registered().at("diagnosticsEnabled"), Value(false));
    EXPECT_TRUE(store.stored().empty());

    const auto configuration = settings.deciderConfiguration();
    EXPECT_EQ(configuration.dwell, 0.3);
    EXPECT_DOUBLE_EQ(configuration.switchProbability, 0.775);
    EXPECT_EQ(configuration.typingGrace, 1.0);
    EXPECT_EQ(configuration.pointerGrace, 1.5);
    EXPECT_EQ(configuration.cooldown, 0.6);
    EXPECT_EQ(configuration.gapTolerance, 0.2);
}

TEST(Settings, StoredValuesAreReadAtStartAndWrongTypesFallBack) {
    FakeDefaultsStore store({{"paused", true},
                             {"switchDelay", 0.8},
                             {"turnSensitivity", std::string("high")},
                             {"movePointer", false},
                             {"cameraID", std::string("usb:046d:0825:AB12/if00/idx0")},
                             {"diagnosticsEnabled", true},
                             {"diagnostics", false}});
    Settings settings(store);
    EXPECT_TRUE(settings.paused());
    EXPECT_EQ(settings.switchDelay(), 0.8);
    EXPECT_EQ(settings.turnSensitivity(), 0.5);
    EXPECT_FALSE(settings.movePointer());
    EXPECT_EQ(settings.cameraID(), "usb:046d:0825:AB12/if00/idx0");
    EXPECT_TRUE(settings.diagnostics());
}

TEST(Settings, EachSetterWritesItsKey) {
    FakeDefaultsStore store;
    Settings settings(store);
    settings.setPaused(true);
    settings.setSwitchDelay(0.5);
    settings.setTurnSensitivity(1);
    settings.setTypingPause(2);
    settings.setPointerPause(3);
    settings.setMovePointer(false);
    settings.setLearnFromClicks(false);
    settings.setCameraID("cam");
    settings.setShowHUD(true);
    settings.setDiagnostics(true);
    settings.setOnboardingCompleted(true);

    const std::map<std::string, Value> expected = {{"paused", true},
                                                   {"switchDelay", 0.5},
                                                   {"turnSensitivity", 1.0},
                                                   {"typingPause", 2.0},
                                                   {"pointerPause", 3.0},
                                                   {"movePointer", false},
                                                   {"learnFromClicks", false},
                                                   {"cameraID", std::string("cam")},
                                                   {"showHUD", true},
                                                   {"diagnosticsEnabled", true},
                                                   {"onboardingCompleted", true}};
    EXPECT_EQ(store.stored(), expected);

    const auto configuration = settings.deciderConfiguration();
    EXPECT_EQ(configuration.dwell, 0.5);
    EXPECT_DOUBLE_EQ(configuration.switchProbability, 0.95);
    EXPECT_EQ(configuration.typingGrace, 2.0);
    EXPECT_EQ(configuration.pointerGrace, 3.0);

    // The next launch sees what was written.
    Settings next(store);
    EXPECT_TRUE(next.paused());
    EXPECT_EQ(next.pointerPause(), 3.0);
    EXPECT_EQ(next.cameraID(), "cam");
    EXPECT_TRUE(next.diagnostics());
    EXPECT_TRUE(next.onboardingCompleted());
}

TEST(Settings, AnAbsentCameraRemovesItsKey) {
    FakeDefaultsStore store({{"cameraID", std::string("cam")}});
    Settings settings(store);
    settings.setCameraID(std::nullopt);
    EXPECT_EQ(settings.cameraID(), std::nullopt);
    EXPECT_FALSE(store.value("cameraID"));
    EXPECT_EQ(Settings(store).cameraID(), std::nullopt);
}

TEST(Settings, ObserversHearOfAChangeBeforeItHappensUntilTheyUnsubscribe) {
    FakeDefaultsStore store;
    Settings settings(store);
    std::vector<double> seen;
    auto subscription = settings.subscribe([&] { seen.push_back(settings.switchDelay()); });
    int calls = 0;
    {
        auto other = settings.subscribe([&] { ++calls; });
        settings.setSwitchDelay(0.7);
        settings.setSwitchDelay(0.9);
    }
    settings.setPaused(true);

    EXPECT_EQ(seen, (std::vector<double>{0.3, 0.7, 0.9}));
    EXPECT_EQ(calls, 2);

    // A subscription may end during a notification and may outlive the settings.
    Settings::Subscription self;
    int selfCalls = 0;
    self = settings.subscribe([&] {
        ++selfCalls;
        self = {};
    });
    settings.setShowHUD(true);
    settings.setShowHUD(false);
    EXPECT_EQ(selfCalls, 1);
    EXPECT_EQ(seen.size(), 5u);
    auto survivor = std::make_unique<Settings>(store)->subscribe([] {});
}
