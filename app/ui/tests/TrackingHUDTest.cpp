#include "ui/TrackingHUD.h"

#include "UiTest.h"

#include <QRegularExpression>
#include <QScreen>
#include <X11/Xlib.h>

// Last: see Desktop.h.
#include "Desktop.h"

using namespace orvane;
using namespace orvane::test;

TEST(TrackingHUD, DescribesTheDeciderStatus) {
    auto names = [](const std::string& id) -> std::optional<std::string> {
        if (id == "R") return "RIGHT";
        return std::nullopt;
    };
    using D = SwitchDecider;
    const std::vector<std::pair<D::Status, std::string>> cases{
        {D::Dwelling{"R", 0.4}, "→ RIGHT 40%"},
        {D::Dwelling{"R", 0.999}, "→ RIGHT 99%"},
        {D::Dwelling{"R", 0.29}, "→ RIGHT 29%"},
        {D::Dwelling{"X", 0.0}, "→ ? 0%"},
        {D::WaitingForKeyboard{"R"}, "waiting: typing"},
        {D::WaitingForPointer{"R"}, "waiting: mouse"},
        {D::WaitingForModifiers{"R"}, "waiting: keys held"},
        {D::CoolingDown{"R"}, "cooling down"},
        {D::NoFace{}, "no face"},
        {D::OffScreen{}, "looking away"},
        {D::Uncertain{}, "uncertain"},
        {D::OnActiveScreen{}, "on focused screen"},
    };
    for (const auto& [status, text] : cases)
        EXPECT_EQ(describe(status, names).toStdString(), text);
}

TEST(TrackingHUD, ShowsWhatTheTrackerSees) {
    UiRig rig;
    rig.storeProfile();
    rig.defaults.set("showHUD", true);
    rig.launch();
    HUDView* panel = rig.delegate->hud().panel();
    ASSERT_NE(panel, nullptr);
    EXPECT_EQ(panel->lines(), QStringList{"Tracking is off"});
    saveScreenshot(panel->grab(), "overlay-off");

    rig.windows.onFocusedDisplayChange(leftDisplay.uuid);
    rig.track(1.0, FakeFaceDetector::face(0.5, 0.5, 0.2, 0.1745, -0.0524));
    const QStringList lines = panel->lines();
    ASSERT_GE(lines.size(), 6);
    EXPECT_EQ(lines[0], "yaw +10.0°  pitch -3.0°");
    EXPECT_EQ(lines[1], "face x 0.50  y 0.50  size 0.20");
    EXPECT_EQ(lines[2], "LEFT");
    EXPECT_EQ(lines[3], "RIGHT");
    EXPECT_TRUE(QRegularExpression("^[1-9][0-9]* fps$").match(lines.last()).hasMatch())
        << lines.last().toStdString();
    saveScreenshot(panel->grab(), "overlay-tracking");

    rig.track(0.5, std::nullopt);
    EXPECT_EQ(panel->lines().first(), "No face");
    EXPECT_EQ(panel->lines()[1], "no face");
    saveScreenshot(panel->grab(), "overlay-no-face");

    // At the top right of the primary screen's free area, 16 pixels from its edges.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(panel->geometry(), QRect(area.right() + 1 - 16 - 260, area.top() + 16, 260, 170));
}

// The overlay never takes the keyboard and lets a click through to the window under it: the window
// manager focuses the window that was clicked.
TEST(TrackingHUD, ClicksGoThroughToTheWindowUnderneath) {
    UiRig rig;
    rig.defaults.set("showHUD", true);
    rig.launch();
    HUDView* panel = rig.delegate->hud().panel();
    ASSERT_NE(panel, nullptr);
    const QRect where = panel->geometry();
    TestClient client("Underneath");
    const Window underneath = client.createWindow(windowAt(where.x() - 50, where.y() + 20, 400, 300));
    const Window elsewhere = client.createWindow(windowAt(200, 300, 400, 300));
    ASSERT_TRUE(client.activate(elsewhere));
    panel->raise();
    processEventsFor(0.2);

    const QPoint centre = where.center();
    ASSERT_EQ(std::system(("xdotool mousemove " + std::to_string(centre.x()) + " " +
                           std::to_string(centre.y()) + " click 1")
                              .c_str()),
              0);
    EXPECT_TRUE(waitUntil([&] { return client.activeWindow() == underneath; }, 3.0));
    processEventsFor(0.2);
    EXPECT_FALSE(panel->isActiveWindow());
    EXPECT_EQ(client.activeWindow(), underneath);
}
