#include "ui/CalibrationWindow.h"

#include "UiTest.h"

#include <QImage>
#include <QLineF>
#include <QScreen>

// Last: see Desktop.h.
#include "Desktop.h"

using namespace orvane;
using namespace orvane::test;

namespace {

// The centre of the dot's white disc in a screenshot: the mean of the near-white pixels within 8 logical
// pixels of where it should be (the white text is further away).
QPointF whiteCentre(const QImage& image, QPointF expected, double ratio) {
    double sumX = 0, sumY = 0, count = 0;
    const int reach = int(8 * ratio);
    const QPoint around = (expected * ratio).toPoint();
    for (int y = around.y() - reach; y <= around.y() + reach; ++y)
        for (int x = around.x() - reach; x <= around.x() + reach; ++x)
            if (image.valid(x, y) && qGray(image.pixel(x, y)) > 240) sumX += x, sumY += y, ++count;
    if (count == 0) return {-1, -1};
    return {(sumX / count + 0.5) / ratio, (sumY / count + 0.5) / ratio};
}

} // namespace

// Run here on monitors side by side, and as children on stacked and mixed monitors and at scale 2.
TEST(CalibrationWindows, CoverEachMonitorAndLeadWithTheDot) {
    UiRig rig;
    useRealDisplays(rig);
    rig.storeProfile();
    rig.launch();
    bool closed = false;
    rig.delegate->calibration()->start([&] { closed = true; });
    rig.track(0.2);
    const auto& windows = rig.delegate->calibrationWindows().windows();
    ASSERT_EQ(windows.size(), rig.displays.list.size());
    TestClient observer("Observer"); // where the X server has the windows, in device pixels
    ASSERT_TRUE(rig.waitFor(
        [&] {
            for (std::size_t i = 0; i < windows.size(); ++i)
                if (observer.frame(windows[i]->winId()) != rig.displays.list[i].bounds) return false;
            return true;
        },
        5.0))
        << "a window does not cover its monitor exactly";
    const std::string layout =
        std::getenv("ORVANE_UI_LAYOUT") ? std::getenv("ORVANE_UI_LAYOUT") : "side-by-side";
    saveScreenshot(windows[0]->grab(), "calibration-getting-ready-" + layout);
    // On to the fourth position of the first monitor: (0.92, 0.1).
    const auto& state = rig.delegate->calibration()->state();
    for (int step = 0; step < 15 * 20; ++step) {
        if (state.activeDisplay() == rig.displays.list[0].uuid && state.dot() == Point{0.92, 0.1}) break;
        rig.track(1.0 / 15, FakeFaceDetector::facing(0.3));
    }
    ASSERT_EQ(state.dot(), (Point{0.92, 0.1}));
    rig.track(1.2, FakeFaceDetector::facing(0.3)); // the head followed, half way through the hold
    CalibrationWindow& first = *windows[0];
    ASSERT_TRUE(first.isActive());
    EXPECT_FALSE(windows[1]->isActive());
    ASSERT_TRUE(rig.waitFor([&] { return !first.isGliding(); }, 2.0));
    const QSize size = first.size();
    const QPointF expected(0.92 * size.width(), 0.1 * size.height());
    EXPECT_LT(QLineF(first.dotCenter(), expected).length(), 0.01);
    const QPixmap shot = first.grab();
    const QImage image = shot.toImage();
    const double ratio = shot.devicePixelRatio();
    const QPointF drawn = whiteCentre(image, expected, ratio);
    EXPECT_LT(QLineF(drawn, expected).length(), 1.0) << drawn.x() << ", " << drawn.y();
    saveScreenshot(shot, "calibration-dot-" + layout);
    // The ring grows clockwise from the top: at about half the hold it covers the right side only.
    ASSERT_NEAR(state.dotProgress(), 0.5, 0.2);
    const auto whiteAt = [&](double dx, double dy) {
        return qGray(image.pixel(((expected + QPointF(dx, dy)) * ratio).toPoint())) > 200;
    };
    EXPECT_TRUE(whiteAt(0, -22));  // top: where it starts
    EXPECT_TRUE(whiteAt(22, 0));   // right: a quarter round
    EXPECT_FALSE(whiteAt(-22, 0)); // left: not yet
    saveScreenshot(windows[1]->grab(), "calibration-other-monitor-" + layout);
    // The first window has the keyboard: Esc, typed as a user would, cancels and closes everything.
    ASSERT_EQ(std::system("xdotool key Escape"), 0);
    ASSERT_TRUE(rig.waitFor([&] { return closed; }, 3.0));
    EXPECT_TRUE(windows.empty());
    EXPECT_FALSE(rig.engine().calibrating());
    EXPECT_FALSE(rig.delegate->calibration()->isRunning());
}

TEST(CalibrationWindows, OtherArrangementsAndScales) {
    if (isChild()) GTEST_SKIP();
    for (const auto& [layout, scale] :
         std::vector<std::pair<std::string, std::string>>{{"stacked", "1"}, {"mixed", "1"}, {"mixed", "2"}}) {
        SCOPED_TRACE(layout + " at scale " + scale);
        TestDesktop desktop("--layout " + layout);
        EXPECT_TRUE(runChild("CalibrationWindows.CoverEachMonitorAndLeadWithTheDot",
                             "DISPLAY=" + desktop.display() + " ORVANE_UI_LAYOUT=" + layout + "-x" + scale +
                                 " QT_SCALE_FACTOR=" + scale));
    }
}
