#include "ui/FocusFlash.h"

#include "UiTest.h"
#include "engine/Clock.h"
#include "platform/X11Thread.h"
#include "platform/X11WindowFocus.h"

#include <QScreen>
#include <X11/extensions/shape.h>

// Last: see Desktop.h.
#include "Desktop.h"

using namespace orvane;
using namespace orvane::test;

namespace {

// The window's rectangles of one kind of shape (ShapeBounding, ShapeInput) on the X server.
int shapeRectangles(TestClient& client, Window window, int kind) {
    int count = 0, ordering = 0;
    if (XRectangle* rectangles = XShapeGetRectangles(client.connection(), window, kind, &count, &ordering))
        XFree(rectangles);
    return count;
}

} // namespace

// A switch on the real desktop outlines the window that received focus, briefly and without getting in
// the way; with the setting off nothing is drawn.
TEST(FocusFlash, OutlinesTheWindowThatGotFocus) {
    X11Thread thread;
    SystemClock clock;
    CapturingLog log;
    X11WindowFocus focus(thread, log, clock);
    UiRig rig;
    useRealDisplays(rig);
    rig.focus = &focus;
    // No guide: its window, mapped late, would take the focus from the switch.
    rig.storeProfile();
    rig.defaults.set("onboardingCompleted", true);
    TestClient client("Editor");
    const Window right = client.createWindow(windowAt(2300, 200, 600, 400));
    const Window left = client.createWindow(windowAt(300, 200, 600, 400));
    rig.launch();
    ASSERT_TRUE(client.activate(right));
    ASSERT_TRUE(client.activate(left));
    thread.sync();
    rig.engine().performSwitch(rig.displays.list[1].uuid);
    FocusFlash* flash = nullptr;
    ASSERT_TRUE(rig.waitFor(
        [&] {
            flash = rig.delegate->focusFlash();
            return flash && flash->isVisible();
        },
        3.0));
    EXPECT_EQ(client.activeWindow(), right);
    const Rect frame = *client.frame(right);
    EXPECT_EQ(flash->geometry(), QRect(int(frame.x), int(frame.y), int(frame.width), int(frame.height)));
    rig.pause(0.05);
    // As the X server shows it, the outline's shape included.
    const QRect around = flash->geometry().adjusted(-40, -40, 40, 40);
    saveScreenshot(QGuiApplication::primaryScreen()->grabWindow(0, around.x(), around.y(), around.width(),
                                                                around.height()),
                   "focus-flash");
    // Only the outline is drawn, and no part of it takes input.
    EXPECT_GT(shapeRectangles(client, flash->winId(), ShapeBounding), 0);
    EXPECT_EQ(shapeRectangles(client, flash->winId(), ShapeInput), 0);
    EXPECT_FALSE(flash->isActiveWindow());
    EXPECT_TRUE(rig.waitFor([&] { return !flash->isVisible(); }, 1.0));
    rig.engine().settings().setFlashFocus(false);
    rig.engine().performSwitch(rig.displays.list[0].uuid);
    ASSERT_TRUE(rig.waitFor([&] { return client.activeWindow() == left; }, 3.0));
    rig.pause(0.2);
    EXPECT_FALSE(flash->isVisible());
}
