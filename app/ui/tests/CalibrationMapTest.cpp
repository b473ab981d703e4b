#include "ui/CalibrationMap.h"

#include "UiTest.h"
#include "ui/CalibrationMapWindow.h"

#include <QImage>
#include <QPainter>

using namespace orvane;
using namespace orvane::test;

namespace {

// A calibration of two monitors as a person makes it: side by side (the head turned about 17 degrees
// either way) or stacked (tilted up and down), with a little spread, and a few clicks.
CalibrationProfile arrangement(bool stacked) {
    std::vector<CalibrationProfile::Display> displays{{"L", "LEFT"}, {"R", "RIGHT"}};
    if (stacked) displays = {{"T", "TOP"}, {"B", "BOTTOM"}};
    std::vector<LabeledSample> calibration, clicks;
    for (int d = 0; d < 2; ++d)
        for (int i = 0; i < 40; ++i) {
            const double sign = d == 0 ? 1 : -1;
            const double yaw = (stacked ? 0 : sign * 0.3) + 0.06 * std::sin(i * 1.7);
            const double pitch = (stacked ? sign * 0.17 : 0) - 0.05 + 0.04 * std::cos(i * 2.3);
            HeadPose pose{yaw, pitch, 0, 0.5, 0.45, 0.22};
            calibration.push_back({pose, displays[d].id, LabeledSample::Source::calibration, WallTime{}});
            pose.yaw += 0.03;
            if (i % 8 == 0)
                clicks.push_back({pose, displays[d].id, LabeledSample::Source::click, WallTime{}});
        }
    return CalibrationProfile(displays, "cam", WallTime{}, calibration, clicks);
}

const QRectF area(0, 0, 1200, 800);

QImage render(const CalibrationMap& map, const std::optional<CalibrationMap::Live>& live = std::nullopt) {
    QImage image(area.size().toSize(), QImage::Format_ARGB32_Premultiplied);
    QPainter painter(&image);
    map.paint(painter, area, live);
    return image;
}

// How much a pixel is tinted toward a colour: the cosine of their departures from the background.
double tintToward(QColor pixel, QColor colour) {
    const QColor background(0xfb, 0xfb, 0xfb);
    const double p[] = {pixel.redF() - background.redF(), pixel.greenF() - background.greenF(),
                        pixel.blueF() - background.blueF()};
    const double c[] = {colour.redF() - background.redF(), colour.greenF() - background.greenF(),
                        colour.blueF() - background.blueF()};
    return (p[0] * c[0] + p[1] * c[1] + p[2] * c[2]) /
           (std::hypot(p[0], p[1], p[2]) * std::hypot(c[0], c[1], c[2]));
}

} // namespace

// The desk as the user sees it: turning to their own right (negative yaw for the detector) is to the
// right, looking up is up; one degree is as long across as up.
TEST(CalibrationMap, LaysOutTheDeskAsTheUserSeesIt) {
    EXPECT_EQ(CalibrationMap::place(radians(-20), radians(5)), QPointF(20, 5));
    const auto map = CalibrationMap::build(arrangement(false), std::nullopt);
    const QPointF origin = map.toPixel({0, 0}, area), right = map.toPixel({10, 0}, area),
                  up = map.toPixel({0, 10}, area);
    EXPECT_GT(right.x(), origin.x());
    EXPECT_NEAR(right.y(), origin.y(), 1e-9);
    EXPECT_LT(up.y(), origin.y());
    EXPECT_NEAR(right.x() - origin.x(), origin.y() - up.y(), 1e-9);
    EXPECT_EQ(map.cell(0, 0).united(map.cell(map.gridColumns - 1, map.gridRows - 1)), map.bounds());
    // Every sample is inside the picture.
    for (const auto& display : map.displays())
        for (QPointF p : display.calibration) {
            EXPECT_TRUE(map.bounds().contains(p));
            EXPECT_TRUE(area.contains(map.toPixel(p, area)));
        }
    // A click sample is drawn where the mapping puts it: a white centre in its display's colour.
    const auto& left = map.displays()[0];
    ASSERT_FALSE(left.clicks.empty());
    const QImage image = render(map);
    const QPoint at = map.toPixel(left.clicks[0], area).toPoint();
    EXPECT_EQ(image.pixelColor(at), QColor(Qt::white));
    bool ringSeen = false;
    for (int dx = -5; dx <= 5; ++dx)
        ringSeen = ringSeen || tintToward(image.pixelColor(at + QPoint(dx, 0)), left.colour) > 0.95;
    EXPECT_TRUE(ringSeen);
    // The head right now carries the name of the display the model puts first, right of its mark.
    const QRect label(map.toPixel({0, 0}, area).toPoint() + QPoint(12, -9), QSize(60, 18));
    EXPECT_NE(render(map, CalibrationMap::Live{{0, 0}, 1, false}).copy(label), image.copy(label));
    QString error;
    EXPECT_FALSE(map.write("/nonexistent/map.png", error));
}

// The envelopes and the shading show the model: on each side of the boundary the picture takes the colour
// of the display the model names there, and none where it says the head is off every display.
TEST(CalibrationMap, EnvelopesAndShadingFollowTheModel) {
    for (bool stacked : {false, true}) {
        const std::string name = stacked ? "stacked" : "side-by-side";
        SCOPED_TRACE(name);
        const auto profile = arrangement(stacked);
        const auto model = ScreenModel::train(profile.allSamples(), profile.screenIDs(), {});
        ASSERT_TRUE(model);
        const auto map = CalibrationMap::build(profile, model);
        const QImage image = render(map);
        saveScreenshot(QPixmap::fromImage(image), "calibration-map-" + name);
        // Each envelope is drawn as ellipses at its distances, around its mean.
        for (std::size_t k = 0; k < model->envelopes.size(); ++k) {
            const auto& envelope = model->envelopes[k];
            EXPECT_EQ(*map.displays()[k].centre, CalibrationMap::place(envelope.mean[0], envelope.mean[1]));
            for (double distance : {CalibrationMap::innerDistance, model->configuration.offScreenDistance}) {
                const QPolygonF ellipse = CalibrationMap::ellipse(envelope, distance);
                ASSERT_FALSE(ellipse.isEmpty());
                QPointF sum;
                for (QPointF p : ellipse) {
                    EXPECT_NEAR(envelope.distance(radians(-p.x()), radians(p.y())), distance, 1e-9);
                    sum += p;
                }
                EXPECT_NEAR(QLineF(sum / ellipse.size(), *map.displays()[k].centre).length(), 0, 1e-9);
            }
        }
        // Along a line between the two envelope means: the answer changes once, and the shading with it.
        const QPointF a = *map.displays()[0].centre, b = *map.displays()[1].centre;
        std::optional<int> previous;
        int changes = 0;
        for (int i = 0; i <= 40; ++i) {
            const QPointF point = a + (b - a) * (i / 40.0);
            const auto best = map.bestAt(point);
            const ScreenPrediction prediction =
                model->predict({radians(-point.x()), radians(point.y()), 0, 0.5, 0.45, 0.22});
            ASSERT_TRUE(best.has_value());
            EXPECT_EQ(map.displays()[std::size_t(*best)].id, prediction.best());
            if (previous && *previous != *best) ++changes;
            previous = best;
            if (i % 10 != 5) continue;
            // Away from drawn samples and lines, the pixel is tinted with that display's colour.
            const QColor pixel = image.pixelColor(map.toPixel(point, area).toPoint());
            EXPECT_GT(tintToward(pixel, map.displays()[std::size_t(*best)].colour),
                      tintToward(pixel, map.displays()[std::size_t(1 - *best)].colour))
                << i;
        }
        EXPECT_EQ(changes, 1);
        // Far beyond the first display, away from the second.
        EXPECT_FALSE(map.bestAt(a + (a - b) * 4).has_value());
    }
}

// The window follows the engine: the current profile's map, and the head's place while tracking runs.
TEST(CalibrationMap, WindowShowsTheLiveHead) {
    UiRig rig;
    rig.storeProfile();
    rig.launch();
    rig.delegate->showCalibrationMap();
    CalibrationMapWindow* window = rig.delegate->calibrationMapWindow();
    ASSERT_NE(window, nullptr);
    rig.settle();
    ASSERT_TRUE(window->map().has_value());
    EXPECT_EQ(window->map()->displays().size(), 2u);
    rig.track(1.0, FakeFaceDetector::face(0.5, 0.5, 0.2, radians(-18), radians(4)));
    ASSERT_TRUE(window->live() && window->live()->display);
    EXPECT_GT(window->live()->place.x(), 10); // turned to the user's right
    EXPECT_EQ(window->map()->displays()[std::size_t(*window->live()->display)].name, "RIGHT");
    rig.pause(0.1);
    saveScreenshot(window->grab(), "calibration-map-window");
    rig.engine().settings().setPaused(true);
    rig.settle();
    EXPECT_FALSE(window->live().has_value());
}
