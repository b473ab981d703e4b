#include "ui/TrackingHUD.h"

#include "UiTest.h"

#include <QRegularExpression>
#include <QScreen>
#include <X11/Xlib.h>

// Last: see Desktop.h.
#include "Desktop.h"

using namespace orvane;
using namespace orvane::test;

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
    EXPECT_EQ(lines.mid(0, 4),
              QStringList({"yaw +10.0°  pitch -3.0°", "face x 0.50  y 0.50  size 0.20", "LEFT", "RIGHT"}));
    EXPECT_TRUE(QRegularExpression("^[1-9][0-9]* fps$").match(lines.last()).hasMatch())
        << lines.last().toStdString();
    saveScreenshot(panel->grab(), "overlay-tracking");
    rig.track(0.5, std::nullopt);
    EXPECT_EQ(panel->lines().mid(0, 2), QStringList({"No face", "no face"}));
    saveScreenshot(panel->grab(), "overlay-no-face");
    // At the top right of the primary screen's free area, 16 pixels from its edges.
    const QRect area = QGuiApplication::primaryScreen()->availableGeometry();
    EXPECT_EQ(panel->geometry(), QRect(area.right() + 1 - 16 - 260, area.top() + 16, 260, 170));
}

// The overlay never takes the keyboard; a click goes through to the window under it, which gets focus.
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
    rig.pause(0.2);
    ASSERT_EQ(click(where.center(), 1), 0);
    EXPECT_TRUE(waitUntil([&] { return client.activeWindow() == underneath; }, 3.0));
    rig.pause(0.2);
    EXPECT_FALSE(panel->isActiveWindow());
    EXPECT_EQ(client.activeWindow(), underneath);
}
