#pragma once

#include "core/CalibrationProfile.h"
#include "core/ScreenModel.h"

#include <QColor>
#include <QPointF>
#include <QPolygonF>
#include <QRectF>
#include <QString>
#include <optional>
#include <string>
#include <vector>

class QPainter;

namespace orvane {

// The calibration as a picture, in the plane of head turn and tilt in degrees, laid out the way the user
// sees their desk: a head turned to the user's right lies right of centre (the detector's yaw grows to the
// left, so x = -yaw), looking up lies higher (y = pitch). For each display: where its calibration and
// click samples lie, its envelope at 2 standard deviations and at the off-screen distance, and the region
// where the model puts it first. Built from a profile and its model; drawn into any rectangle.
class CalibrationMap {
  public:
    struct Display {
        std::string id;
        QString name;
        QColor colour;
        std::vector<QPointF> calibration, clicks; // map coordinates
        std::optional<QPointF> centre;            // the envelope's mean
        QPolygonF inner, outer;                   // the envelope at 2 and at the off-screen distance
    };
    // The head right now: its place on the map and the display the model puts first.
    struct Live {
        QPointF place;
        std::optional<int> display;
        bool offScreen = false;
    };

    static constexpr double innerDistance = 2.0;
    static constexpr int gridColumns = 120, gridRows = 80;

    // The model is absent while none is fitted: the samples are drawn alone then.
    static CalibrationMap build(const CalibrationProfile& profile, const std::optional<ScreenModel>& model);

    // Map coordinates of a pose's angles (radians in, degrees out).
    static QPointF place(double yaw, double pitch);
    // The envelope's ellipse at a distance in standard deviations, in map coordinates.
    static QPolygonF ellipse(const ScreenModel::Envelope& envelope, double distance, int points = 96);

    const std::vector<Display>& displays() const { return displays_; }
    // The part of the plane shown, in degrees, with room around what is drawn.
    const QRectF& bounds() const { return bounds_; }
    // The display the model puts first at a map point (the head at the samples' usual place in the image),
    // as an index into displays(); absent without a model or where it says the head is off every display.
    std::optional<int> bestAt(QPointF place) const;
    // Where a map point lands when the map is drawn into `area` (equal scales on both axes, centred).
    QPointF toPixel(QPointF place, const QRectF& area) const;
    // The grid cell's best display, as drawn for the shading (same convention as bestAt).
    std::optional<int> shadedAt(int column, int row) const {
        return grid_[std::size_t(row * gridColumns + column)];
    }
    QRectF cell(int column, int row) const;

    void paint(QPainter& painter, const QRectF& area, const std::optional<Live>& live = std::nullopt) const;

    // The head right now on this map, from a smoothed pose and the model's prediction for it.
    std::optional<Live> live(const std::optional<HeadPose>& pose,
                             const std::optional<ScreenPrediction>& prediction) const;

    // Writes the map as a picture: .png (1200 x 800) or .svg. False with a reason when it cannot.
    bool write(const QString& file, QString& error) const;

  private:
    QRectF plot(const QRectF& area) const;

    std::vector<Display> displays_;
    QRectF bounds_;
    std::optional<ScreenModel> model_;
    HeadPose typical_; // the face's usual place and size in the image, for the shading
    std::vector<std::optional<int>> grid_;
};

} // namespace orvane
