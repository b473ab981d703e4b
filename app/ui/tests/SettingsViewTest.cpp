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
};

struct SettingsViewTest : ::testing::Test, SettingsRig {};

TEST_F(SettingsViewTest, ControlsWriteThroughToTheStore) {
    open();
    // A quarter of the way, off every default: both ends of each range count.
    for (auto [slider, key, value] : std::vector<std::tuple<LabeledSlider*, std::string, double>>{
             {view->switchDelay(), "switchDelay", 0.325},
             {view->turnSensitivity(), "turnSensitivity", 0.25},
             {view->typingPause(), "typingPause", 0.975},
             {view->pointerPause(), "pointerPause", 1.125}}) {
        slider->slider()->setValue(250);
        EXPECT_DOUBLE_EQ(std::get<double>(rig.defaults.stored.at(key)), value) << key;
    }
    EXPECT_EQ(view->switchDelay()->valueText(), "325 ms");
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
    EXPECT_NE(rig.delegate->hud().panel(), nullptr); // the engine follows
    // Changes made elsewhere show up.
    rig.engine().settings().setSwitchDelay(0.25);
    rig.engine().settings().setTurnSensitivity(0.005);
    rig.settle();
    EXPECT_EQ(view->switchDelay()->valueText(), "250 ms");
    EXPECT_EQ(view->turnSensitivity()->valueText(), "1%");
    saveScreenshot(view->grab(), "settings");
}

// A stored camera that is not connected matches no entry; one plugged in shows up at the next showing.
TEST_F(SettingsViewTest, CameraPicker) {
    rig.defaults.set("cameraID", usbCamera.id);
    open();
    QComboBox* picker = view->cameraPicker();
    ASSERT_EQ(picker->count(), 3);
    EXPECT_EQ(picker->itemText(0) + "/" + picker->itemText(1) + "/" + picker->itemText(2),
              "Automatic (built-in)/Integrated Camera/USB Webcam");
    EXPECT_EQ(picker->currentIndex(), 2);
    emit picker->activated(0);
    EXPECT_FALSE(rig.defaults.stored.contains("cameraID"));
    emit picker->activated(1);
    EXPECT_EQ(std::get<std::string>(rig.defaults.stored.at("cameraID")), builtInCamera.id);
    rig.camera.cameras = {builtInCamera};
    rig.engine().settings().setCameraID(usbCamera.id);
    view->hide();
    view->show();
    rig.settle();
    EXPECT_EQ(picker->count(), 2);
    EXPECT_EQ(picker->currentIndex(), -1);
}

// The learned samples and the map need a profile, forgetting needs clicks; recalibrating is always there.
TEST_F(SettingsViewTest, LearnedAdjustments) {
    const LabeledSample click{
        {0.3, 0, 0, 0.5, 0.5, 0.2}, rightDisplay.uuid, LabeledSample::Source::click, {}};
    const std::vector<std::pair<std::optional<std::vector<LabeledSample>>, std::string>> cases{
        {std::nullopt, ""}, {std::vector<LabeledSample>{}, "0"}, {std::vector{click, click}, "2"}};
    for (const auto& [clicks, count] : cases) {
        SCOPED_TRACE(count);
        SettingsRig test;
        if (clicks) test.rig.storeProfile(builtInCamera.id, *clicks);
        test.open();
        EXPECT_EQ(test.view->learnedSamples()->isVisible(), clicks.has_value());
        EXPECT_EQ(test.view->mapButton()->isEnabled(), clicks.has_value());
        EXPECT_EQ(test.view->forgetButton()->isEnabled(), clicks && !clicks->empty());
        if (clicks) {
            EXPECT_EQ(test.view->learnedSamples()->text().toStdString(), count + " learned samples");
            test.view->mapButton()->click();
            EXPECT_TRUE(test.mapShown);
        }
        if (test.view->forgetButton()->isEnabled()) {
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

// Each step is done by itself as the engine's state allows; the calibration waits for a second display
// and window control; a Wayland session says why windows cannot be focused.
TEST(OnboardingView, StepsFollowTheEngine) {
    struct Case {
        std::string name, done; // each step: '+' done, '-' left to do
        bool calibrationEnabled;
        QString detail; // in a step's detail
        std::function<void(UiRig&)> setup = {};
        bool wayland = false;
    };
    const QString dot = "Follow a dot for about 20 seconds per screen.";
    const std::vector<Case> cases{
        {"first-launch", "++-", true, dot},
        {"one-monitor", "++-", false, "Connect a second display to switch between screens.",
         [](UiRig& r) { r.displays.list = {leftDisplay}; }},
        {"no-access", "---", false, dot,
         [](UiRig& r) {
             r.permissions.trusted = false, r.permissions.cameraStatus = CameraAuthorization::denied;
         }},
        {"done", "+++", true, dot, [](UiRig& r) { r.storeProfile(); }},
        {"wayland", "+--", false, "XWayland", [](UiRig& r) { r.permissions.trusted = false; }, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        UiRig rig;
        if (c.setup) c.setup(rig);
        rig.launch();
        bool calibrate = false;
        OnboardingView view(
            rig.engine(), [&] { calibrate = true; }, c.wayland);
        view.show();
        rig.settle();
        const std::array<StepRow*, 3> steps{view.cameraStep(), view.windowControlStep(),
                                            view.calibrationStep()};
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(steps[i]->isDone(), c.done[i] == '+') << "step " << i + 1;
            EXPECT_EQ(steps[i]->action()->isVisible(), c.done[i] == '-') << "step " << i + 1;
        }
        EXPECT_TRUE((steps[1]->detail() + steps[2]->detail()).contains(c.detail));
        EXPECT_EQ(steps[2]->action()->isEnabled(), c.calibrationEnabled);
        if (c.calibrationEnabled && c.done[2] == '-') {
            steps[2]->action()->click();
            EXPECT_TRUE(calibrate);
        }
        saveScreenshot(view.grab(), "guide-" + c.name);
    }
}
