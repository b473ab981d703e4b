#include "ui/CalibrationMap.h"

#include "ui/Style.h"

#include <QFileInfo>
#include <QImage>
#include <QPainter>
#include <QPainterPath>
#include <QSvgGenerator>
#include <algorithm>
#include <cmath>

namespace orvane {

namespace {

constexpr double marginLeft = 72, marginRight = 20, marginTop = 44, marginBottom = 48;
constexpr double padding = 3; // degrees around what is drawn

const QColor palette[] = {QColor(0x35, 0x84, 0xe4), QColor(0xe6, 0x61, 0x00), QColor(0x2e, 0xa0, 0x5e),
                          QColor(0x91, 0x41, 0xac), QColor(0xc0, 0x1c, 0x28), QColor(0x98, 0x6a, 0x44)};

QColor faded(QColor colour, double alpha) {
    colour.setAlphaF(float(alpha));
    return colour;
}

// A tick step that gives four to ten ticks over the span.
double tickStep(double span) {
    for (double step : {1.0, 2.0, 5.0, 10.0, 20.0, 30.0, 45.0})
        if (span / step <= 10) return step;
    return 90.0;
}

} // namespace

QPointF CalibrationMap::place(double yaw, double pitch) {
    return {-degrees(yaw), degrees(pitch)};
}

QPolygonF CalibrationMap::ellipse(const ScreenModel::Envelope& envelope, double distance, int points) {
    // The inverse covariance A = V diag(l1, l2) V^T; the ellipse x^T A x = d^2 has semi-axes d / sqrt(l).
    const double a = envelope.inverseCovariance[0][0], b = envelope.inverseCovariance[0][1],
                 c = envelope.inverseCovariance[1][1];
    const double mean = (a + c) / 2, spread = std::hypot((a - c) / 2, b);
    const double l1 = mean + spread, l2 = mean - spread;
    QPolygonF polygon;
    if (!(l2 > 0) || !std::isfinite(l1)) return polygon;
    const double angle = 0.5 * std::atan2(2 * b, a - c); // direction of the first eigenvector
    const double v1x = std::cos(angle), v1y = std::sin(angle);
    for (int i = 0; i < points; ++i) {
        const double t = 2 * M_PI * i / points;
        const double u = distance * std::cos(t) / std::sqrt(l1), v = distance * std::sin(t) / std::sqrt(l2);
        const double yaw = envelope.mean[0] + u * v1x - v * v1y;
        const double pitch = envelope.mean[1] + u * v1y + v * v1x;
        polygon << place(yaw, pitch);
    }
    return polygon;
}

CalibrationMap CalibrationMap::build(const CalibrationProfile& profile,
                                     const std::optional<ScreenModel>& model) {
    CalibrationMap map;
    map.model_ = model;
    std::vector<HeadPose> poses;
    for (std::size_t i = 0; i < profile.displays.size(); ++i) {
        Display display;
        display.id = profile.displays[i].id;
        display.name = QString::fromStdString(profile.displays[i].name);
        display.colour = palette[i % std::size(palette)];
        map.displays_.push_back(display);
    }
    auto indexOf = [&map](const std::string& id) -> std::optional<std::size_t> {
        for (std::size_t i = 0; i < map.displays_.size(); ++i)
            if (map.displays_[i].id == id) return i;
        return std::nullopt;
    };
    for (const auto* samples : {&profile.calibrationSamples, &profile.clickSamples})
        for (const LabeledSample& sample : *samples) {
            poses.push_back(sample.pose);
            if (auto i = indexOf(sample.screenID)) {
                auto& list = sample.source == LabeledSample::Source::click ? map.displays_[*i].clicks
                                                                           : map.displays_[*i].calibration;
                list.push_back(place(sample.pose.yaw, sample.pose.pitch));
            }
        }
    map.typical_ = HeadPose::mean(poses).value_or(HeadPose{0, 0, 0, 0.5, 0.5, 0.2});

    if (model)
        for (std::size_t k = 0; k < model->screenIDs.size() && k < model->envelopes.size(); ++k)
            if (auto i = indexOf(model->screenIDs[k])) {
                const auto& envelope = model->envelopes[k];
                map.displays_[*i].centre = place(envelope.mean[0], envelope.mean[1]);
                map.displays_[*i].inner = ellipse(envelope, innerDistance);
                map.displays_[*i].outer = ellipse(envelope, model->configuration.offScreenDistance);
            }

    // Everything drawn, with room around it; at least 30 x 20 degrees around the middle.
    double left = INFINITY, right = -INFINITY, bottom = INFINITY, top = -INFINITY;
    auto include = [&](QPointF p) {
        if (!std::isfinite(p.x()) || !std::isfinite(p.y())) return;
        left = std::min(left, p.x()), right = std::max(right, p.x());
        bottom = std::min(bottom, p.y()), top = std::max(top, p.y());
    };
    for (const Display& display : map.displays_) {
        for (const auto* points : {&display.calibration, &display.clicks})
            for (QPointF p : *points)
                include(p);
        for (QPointF p : display.outer)
            include(p);
    }
    QRectF extent =
        left <= right ? QRectF(left, bottom, right - left, top - bottom) : QRectF(-15, -10, 30, 20);
    extent.adjust(-padding, -padding, padding, padding);
    const QPointF middle = extent.center();
    extent = extent.united(QRectF(middle.x() - 15, middle.y() - 10, 30, 20));
    map.bounds_ = extent;

    map.grid_.assign(std::size_t(gridColumns * gridRows), std::nullopt);
    if (model)
        for (int row = 0; row < gridRows; ++row)
            for (int column = 0; column < gridColumns; ++column)
                map.grid_[std::size_t(row * gridColumns + column)] =
                    map.bestAt(map.cell(column, row).center());
    return map;
}

std::optional<int> CalibrationMap::bestAt(QPointF point) const {
    if (!model_) return std::nullopt;
    HeadPose pose = typical_;
    pose.yaw = radians(-point.x());
    pose.pitch = radians(point.y());
    const ScreenPrediction prediction = model_->predict(pose);
    if (prediction.offScreen || prediction.bestIndex() >= prediction.screenIDs.size()) return std::nullopt;
    for (std::size_t i = 0; i < displays_.size(); ++i)
        if (displays_[i].id == prediction.best()) return int(i);
    return std::nullopt;
}

QRectF CalibrationMap::cell(int column, int row) const {
    const double width = bounds_.width() / gridColumns, height = bounds_.height() / gridRows;
    // Rows run from the top of the picture (the largest pitch) down.
    return QRectF(bounds_.left() + column * width, bounds_.bottom() - (row + 1) * height, width, height);
}

QRectF CalibrationMap::plot(const QRectF& area) const {
    return area.adjusted(marginLeft, marginTop, -marginRight, -marginBottom);
}

QPointF CalibrationMap::toPixel(QPointF point, const QRectF& area) const {
    const QRectF inside = plot(area);
    const double scale = std::min(inside.width() / bounds_.width(), inside.height() / bounds_.height());
    const double left = inside.left() + (inside.width() - bounds_.width() * scale) / 2;
    const double top = inside.top() + (inside.height() - bounds_.height() * scale) / 2;
    return {left + (point.x() - bounds_.left()) * scale, top + (bounds_.bottom() - point.y()) * scale};
}

std::optional<CalibrationMap::Live>
CalibrationMap::live(const std::optional<HeadPose>& pose,
                     const std::optional<ScreenPrediction>& prediction) const {
    if (!pose) return std::nullopt;
    Live live{place(pose->yaw, pose->pitch), std::nullopt, false};
    if (prediction && prediction->bestIndex() < prediction->screenIDs.size()) {
        live.offScreen = prediction->offScreen;
        for (std::size_t i = 0; i < displays_.size(); ++i)
            if (displays_[i].id == prediction->best()) live.display = int(i);
    }
    return live;
}

void CalibrationMap::paint(QPainter& painter, const QRectF& area, const std::optional<Live>& live) const {
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(area, QColor(0xfb, 0xfb, 0xfb));
    const QRectF drawn(toPixel(bounds_.topLeft() + QPointF(0, bounds_.height()), area),
                       toPixel(QPointF(bounds_.right(), bounds_.top()), area));
    const QColor ink(0x2a, 0x2a, 0x2a), grid(0xdd, 0xdd, 0xdd);

    // Where the model puts each display first: the grid as a small picture, stretched over the plot.
    QImage shading(gridColumns, gridRows, QImage::Format_ARGB32_Premultiplied);
    shading.fill(Qt::transparent);
    for (int row = 0; row < gridRows; ++row)
        for (int column = 0; column < gridColumns; ++column)
            if (auto best = shadedAt(column, row))
                shading.setPixelColor(column, row, faded(displays_[std::size_t(*best)].colour, 0.10));
    painter.drawImage(drawn, shading);

    // Degree ticks and grid lines, with the axes' titles.
    const double step = tickStep(std::max(bounds_.width(), bounds_.height()));
    painter.setFont(style::font(11));
    for (double x = std::ceil(bounds_.left() / step) * step; x <= bounds_.right(); x += step) {
        const QPointF top = toPixel(QPointF(x, bounds_.bottom()), area),
                      bottom = toPixel(QPointF(x, bounds_.top()), area);
        painter.setPen(QPen(x == 0 ? QColor(0xb0, 0xb0, 0xb0) : grid, 1));
        painter.drawLine(top, bottom);
        painter.setPen(ink);
        painter.drawText(QRectF(bottom.x() - 30, bottom.y() + 4, 60, 16), Qt::AlignCenter,
                         QString::number(x) + "°");
    }
    for (double y = std::ceil(bounds_.top() / step) * step; y <= bounds_.bottom(); y += step) {
        const QPointF left = toPixel(QPointF(bounds_.left(), y), area),
                      right = toPixel(QPointF(bounds_.right(), y), area);
        painter.setPen(QPen(y == 0 ? QColor(0xb0, 0xb0, 0xb0) : grid, 1));
        painter.drawLine(left, right);
        painter.setPen(ink);
        painter.drawText(QRectF(left.x() - 48, left.y() - 8, 44, 16), Qt::AlignRight | Qt::AlignVCenter,
                         QString::number(y) + "°");
    }
    painter.setPen(QPen(QColor(0xa0, 0xa0, 0xa0), 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(drawn);
    painter.setPen(ink);
    painter.drawText(QRectF(drawn.left(), drawn.bottom() + 22, drawn.width(), 18), Qt::AlignCenter,
                     QObject::tr("Head turn in degrees (to your right →)"));
    painter.save();
    painter.translate(drawn.left() - 50, drawn.center().y());
    painter.rotate(-90);
    painter.drawText(QRectF(-drawn.height() / 2, -18, drawn.height(), 16), Qt::AlignCenter,
                     QObject::tr("Head tilt in degrees (up ↑)"));
    painter.restore();

    // Each display: its envelope, its samples, its name.
    for (const Display& display : displays_) {
        auto pixels = [&](const QPolygonF& polygon) {
            QPolygonF out;
            for (QPointF p : polygon)
                out << toPixel(p, area);
            return out;
        };
        if (!display.outer.isEmpty()) {
            painter.setPen(QPen(faded(display.colour, 0.7), 1.2, Qt::DashLine));
            painter.setBrush(Qt::NoBrush);
            painter.drawPolygon(pixels(display.outer));
            painter.setPen(QPen(display.colour, 1.6));
            painter.setBrush(faded(display.colour, 0.08));
            painter.drawPolygon(pixels(display.inner));
        }
        painter.setPen(Qt::NoPen);
        painter.setBrush(faded(display.colour, 0.85));
        for (QPointF p : display.calibration)
            painter.drawEllipse(toPixel(p, area), 2.5, 2.5);
        painter.setPen(QPen(display.colour, 1.4));
        painter.setBrush(Qt::white);
        for (QPointF p : display.clicks)
            painter.drawEllipse(toPixel(p, area), 3.5, 3.5);
        // The name just above the 2σ envelope, clear of the samples.
        if (display.centre) {
            double top = toPixel(*display.centre, area).y();
            for (QPointF p : display.inner)
                top = std::min(top, toPixel(p, area).y());
            const QPointF at(toPixel(*display.centre, area).x(), top - 12);
            painter.setFont(style::font(13, QFont::DemiBold));
            painter.setPen(display.colour.darker(130));
            painter.drawText(QRectF(at.x() - 100, at.y() - 9, 200, 18), Qt::AlignCenter, display.name);
        }
    }

    // The legend.
    painter.setFont(style::font(12));
    double x = area.left() + marginLeft;
    const double y = area.top() + 14;
    for (const Display& display : displays_) {
        painter.setPen(Qt::NoPen);
        painter.setBrush(display.colour);
        painter.drawEllipse(QPointF(x + 5, y + 8), 5, 5);
        painter.setPen(ink);
        const QString name = display.name;
        const double width = QFontMetricsF(painter.font()).horizontalAdvance(name);
        painter.drawText(QRectF(x + 14, y, width + 2, 16), Qt::AlignLeft | Qt::AlignVCenter, name);
        x += 14 + width + 18;
    }
    painter.setPen(QColor(0x70, 0x70, 0x70));
    painter.drawText(QRectF(x, y, area.right() - marginRight - x, 16), Qt::AlignRight | Qt::AlignVCenter,
                     QObject::tr("● calibration   ○ clicks   — 2σ envelope   - - off-screen limit"));

    // The head right now.
    if (live) {
        const QPointF at = toPixel(live->place, area);
        painter.setPen(QPen(ink, 2));
        painter.setBrush(Qt::white);
        painter.drawEllipse(at, 7, 7);
        painter.setBrush(ink);
        painter.drawEllipse(at, 2, 2);
        QString label = live->offScreen ? QObject::tr("looking away")
                        : live->display ? "→ " + displays_[std::size_t(*live->display)].name
                                        : QString();
        if (!label.isEmpty()) {
            painter.setFont(style::font(12, QFont::DemiBold));
            painter.drawText(QRectF(at.x() + 12, at.y() - 9, 200, 18), Qt::AlignLeft | Qt::AlignVCenter,
                             label);
        }
    }
    painter.restore();
}

bool CalibrationMap::write(const QString& file, QString& error) const {
    const QString suffix = QFileInfo(file).suffix().toLower();
    const QRectF area(0, 0, 1200, 800);
    if (suffix == "svg") {
        QSvgGenerator svg;
        svg.setFileName(file);
        svg.setSize(area.size().toSize());
        svg.setViewBox(area);
        svg.setTitle(QObject::tr("Calibration Map"));
        QPainter painter;
        if (!painter.begin(&svg)) {
            error = QObject::tr("cannot write %1").arg(file);
            return false;
        }
        paint(painter, area);
        painter.end();
        return true;
    }
    if (suffix != "png") {
        error = QObject::tr("the map is written as a .png or an .svg file, not %1").arg(file);
        return false;
    }
    QImage image(area.size().toSize(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::white);
    QPainter painter(&image);
    paint(painter, area);
    painter.end();
    if (!image.save(file, "PNG")) {
        error = QObject::tr("cannot write %1").arg(file);
        return false;
    }
    return true;
}

} // namespace orvane
