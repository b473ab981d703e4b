#include "ui/SettingsView.h"

#include "UiTest.h"
#include "ui/OnboardingView.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>

using namespace orvane;
using namespace orvane::test;

TEST(SettingsView, ValueTextsRoundHalvesAwayFromZero) {
    EXPECT_EQ(millisecondsText(0.25), "250 ms");
    EXPECT_EQ(millisecondsText(0.3), "300 ms");
    EXPECT_EQ(millisecondsText(0.0005), "1 ms");
    EXPECT_EQ(percentText(0.005), "1%");
    EXPECT_EQ(percentText(0.5), "50%");
    EXPECT_EQ(percentText(0.994), "99%");
    EXPECT_EQ(secondsText(1.0), "1.0 s");
    EXPECT_EQ(secondsText(2.96), "3.0 s");
}

struct SettingsRig {
    UiRig rig;
    std::unique_ptr<SettingsView> view;
    bool recalibrated = false, mapShown = false;

    void open() {
        rig.launch();
        view = std::make_unique<SettingsView>(
            rig.engine(), rig.camera, rig.autostart, [this] { recalibrated = true; },
            [this] { mapShown = true; });
        view->show();
        rig.settle();
    }
    double stored(const std::string& key) { return std::get<double>(rig.defaults.stored.at(key)); }
};

struct SettingsViewTest : ::testing::Test, SettingsRig {};

TEST_F(SettingsViewTest, ControlsWriteThroughToTheStore) {
    open();
    EXPECT_EQ(view->switchDelay()->valueText(), "300 ms");
    EXPECT_EQ(view->turnSensitivity()->valueText(), "50%");
    EXPECT_EQ(view->typingPause()->valueText(), "1.0 s");
    EXPECT_EQ(view->pointerPause()->valueText(), "1.5 s");

    view->switchDelay()->slider()->setValue(1000);
    EXPECT_DOUBLE_EQ(stored("switchDelay"), 1.0);
    EXPECT_EQ(view->switchDelay()->valueText(), "1000 ms");
    view->turnSensitivity()->slider()->setValue(0);
    EXPECT_DOUBLE_EQ(stored("turnSensitivity"), 0.0);
    view->typingPause()->slider()->setValue(500);
    EXPECT_DOUBLE_EQ(stored("typingPause"), 1.65);
    view->pointerPause()->slider()->setValue(0);
    EXPECT_DOUBLE_EQ(stored("pointerPause"), 0.5);
    for (auto [box, key] :
         std::vector<std::pair<QCheckBox*, std::string>>{{view->movePointer(), "movePointer"},
                                                         {view->flashFocus(), "flashFocus"},
                                                         {view->learnFromClicks(), "learnFromClicks"},
                                                         {view->showHUD(), "showHUD"},
                                                         {view->diagnostics(), "diagnosticsEnabled"}}) {
        const bool before = box->isChecked();
        box->click();
        EXPECT_EQ(std::get<bool>(rig.defaults.stored.at(key)), !before) << key;
    }
    rig.settle();
    // The engine follows: the overlay is up now.
    EXPECT_NE(rig.delegate->hud().panel(), nullptr);

    // Changes made elsewhere show up.
    rig.engine().settings().setSwitchDelay(0.25);
    rig.engine().settings().setTurnSensitivity(0.005);
    rig.settle();
    EXPECT_EQ(view->switchDelay()->valueText(), "250 ms");
    EXPECT_EQ(view->turnSensitivity()->valueText(), "1%");
    saveScreenshot(view->grab(), "settings");
}

TEST_F(SettingsViewTest, CameraPicker) {
    rig.defaults.set("cameraID", usbCamera.id);
    open();
    QComboBox* picker = view->cameraPicker();
    ASSERT_EQ(picker->count(), 3);
    EXPECT_EQ(picker->itemText(0), "Automatic (built-in)");
    EXPECT_EQ(picker->itemText(1), "Integrated Camera");
    EXPECT_EQ(picker->itemText(2), "USB Webcam");
    EXPECT_EQ(picker->currentIndex(), 2);

    emit picker->activated(0);
    EXPECT_FALSE(rig.defaults.stored.contains("cameraID"));
    emit picker->activated(1);
    EXPECT_EQ(std::get<std::string>(rig.defaults.stored.at("cameraID")), builtInCamera.id);

    // A camera plugged in meanwhile shows up when the window is shown again; a stored camera that is
    // not connected matches no entry.
    rig.camera.cameras = {builtInCamera};
    rig.defaults.set("cameraID", usbCamera.id);
    rig.engine().settings().setCameraID(usbCamera.id);
    view->hide();
    view->show();
    rig.settle();
    EXPECT_EQ(picker->count(), 2);
    EXPECT_EQ(picker->currentIndex(), -1);
}

TEST_F(SettingsViewTest, LearnedAdjustments) {
    struct Case {
        const char* name;
        std::function<void(UiRig&)> setup;
        bool forgetEnabled;
        std::optional<std::string> count;
    };
    const LabeledSample click{
        {0.3, 0, 0, 0.5, 0.5, 0.2}, rightDisplay.uuid, LabeledSample::Source::click, {}};
    const std::vector<Case> cases{
        {"no profile", [](UiRig&) {}, false, std::nullopt},
        {"no clicks", [](UiRig& r) { r.storeProfile(); }, false, "0 learned samples"},
        {"two clicks",
         [&](UiRig& r) {
             r.storeProfile({click, click});
         },
         true, "2 learned samples"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SettingsRig test;
        c.setup(test.rig);
        test.open();
        EXPECT_EQ(test.view->forgetButton()->isEnabled(), c.forgetEnabled);
        EXPECT_EQ(test.view->mapButton()->isEnabled(), c.count.has_value());
        if (c.count) {
            test.view->mapButton()->click();
            EXPECT_TRUE(test.mapShown);
        }
        EXPECT_EQ(test.view->learnedSamples()->isVisible(), c.count.has_value());
        if (c.count) {
            EXPECT_EQ(test.view->learnedSamples()->text().toStdString(), *c.count);
        }
        if (c.forgetEnabled) {
            test.view->forgetButton()->click();
            test.rig.settle();
            EXPECT_EQ(test.view->learnedSamples()->text(), "0 learned samples");
            EXPECT_FALSE(test.view->forgetButton()->isEnabled());
        }
        test.view->recalibrateButton()->click();
        EXPECT_TRUE(test.recalibrated);
    }
}

TEST_F(SettingsViewTest, OpenAtLoginShowsTheRealStateAfterAFailure) {
    open();
    EXPECT_FALSE(view->launchAtLogin()->isChecked());
    view->launchAtLogin()->click();
    EXPECT_TRUE(rig.autostart.registered);
    rig.autostart.fails = true;
    view->launchAtLogin()->click();
    EXPECT_TRUE(view->launchAtLogin()->isChecked());
    EXPECT_TRUE(rig.autostart.registered);
}

TEST(OnboardingView, StepsFollowTheEngine) {
    struct Case {
        const char* name;
        std::function<void(UiRig&)> setup;
        std::array<bool, 3> done;
        bool calibrationEnabled;
        std::string calibrationDetail;
        std::string screenshot;
    };
    const std::vector<Case> cases{
        {"first launch",
         [](UiRig&) {},
         {true, true, false},
         true,
         "Follow a dot for about 20 seconds per screen.",
         "guide-first-launch"},
        {"one monitor",
         [](UiRig& r) { r.displays.list = {leftDisplay}; },
         {true, true, false},
         false,
         "Connect a second display to switch between screens.",
         "guide-one-monitor"},
        {"no window control, camera denied",
         [](UiRig& r) {
             r.permissions.trusted = false, r.permissions.cameraStatus = CameraAuthorization::denied;
         },
         {false, false, false},
         false,
         "Follow a dot for about 20 seconds per screen.",
         "guide-no-access"},
        {"calibrated",
         [](UiRig& r) { r.storeProfile(); },
         {true, true, true},
         true,
         "Follow a dot for about 20 seconds per screen.",
         "guide-done"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        c.setup(rig);
        rig.launch();
        bool calibrate = false;
        OnboardingView view(
            rig.engine(), [&] { calibrate = true; }, false);
        view.show();
        rig.settle();
        const std::array<StepRow*, 3> steps{view.cameraStep(), view.windowControlStep(),
                                            view.calibrationStep()};
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(steps[i]->isDone(), c.done[i]) << "step " << i + 1;
            EXPECT_EQ(steps[i]->action()->isVisible(), !c.done[i]) << "step " << i + 1;
        }
        EXPECT_EQ(view.windowControlStep()->title(), "Allow window control");
        EXPECT_EQ(view.calibrationStep()->detail().toStdString(), c.calibrationDetail);
        EXPECT_EQ(view.calibrationStep()->action()->isEnabled(), c.calibrationEnabled);
        if (c.calibrationEnabled && !c.done[2]) {
            view.calibrationStep()->action()->click();
            EXPECT_TRUE(calibrate);
        }
        saveScreenshot(view.grab(), c.screenshot);
    }
}

TEST(OnboardingView, WaylandSessionSaysWhyWindowsCannotBeFocused) {
    UiRig rig;
    rig.permissions.trusted = false;
    rig.launch();
    OnboardingView view(rig.engine(), nullptr, true);
    EXPECT_TRUE(view.windowControlStep()->detail().contains("XWayland"));
    EXPECT_FALSE(view.windowControlStep()->isDone());
    saveScreenshot(view.grab(), "guide-wayland");
}
