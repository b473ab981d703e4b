#include "ui/TrackingHUD.h"

#include "ui/CalibrationWindow.h"
#include "ui/Style.h"

#include <QApplication>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <cmath>

namespace orvane {

namespace {

constexpr int padding = 12, rowSpacing = 6, nameColumn = 110, barHeight = 6;

QString nameOr(const std::optional<std::string>& name) {
    return name ? QString::fromStdString(*name) : QStringLiteral("?");
}

// One line of the overlay: plain text, or a display's probability bar.
struct Row {
    QString text;
    QColor colour;
    std::optional<double> probability; // a display row
    bool activeScreen = false;

    static Row line(QString text, QColor colour = Qt::white) { return {std::move(text), colour, {}, false}; }
    static Row display(QString name, double probability, bool active) {
        return {std::move(name), Qt::white, probability, active};
    }
};

std::vector<Row> rows(const Engine& engine) {
    const auto& snapshot = engine.snapshot();
    if (!snapshot) return {Row::line(QObject::tr("Tracking is off"))};
    std::vector<Row> result;
    if (snapshot->pose) {
        const HeadPose& pose = *snapshot->pose;
        result.push_back(
            Row::line(QString::asprintf("yaw %+.1f°  pitch %+.1f°", degrees(pose.yaw), degrees(pose.pitch))));
        result.push_back(Row::line(
            QString::asprintf("face x %.2f  y %.2f  size %.2f", pose.faceX, pose.faceY, pose.faceSize),
            style::white(0.6)));
    } else {
        result.push_back(Row::line(QObject::tr("No face"), style::orange));
    }
    if (const auto& prediction = snapshot->prediction) {
        for (std::size_t i = 0; i < prediction->screenIDs.size(); ++i) {
            const std::string& id = prediction->screenIDs[i];
            const double p = i < prediction->probabilities.size() ? prediction->probabilities[i] : 0;
            result.push_back(Row::display(nameOr(engine.displayName(id)), p, snapshot->activeScreen == id));
        }
        if (prediction->offScreen) result.push_back(Row::line(QObject::tr("Looking away"), style::orange));
    }
    auto nameFor = [&engine](const std::string& id) { return engine.displayName(id); };
    result.push_back(Row::line(describe(snapshot->status, nameFor), style::white(0.7)));
    result.push_back(Row::line(QString::asprintf("%.0f fps", snapshot->framesPerSecond), style::white(0.4)));
    return result;
}

} // namespace

QString describe(const SwitchDecider::Status& status,
                 const std::function<std::optional<std::string>(const std::string&)>& nameFor) {
    using D = SwitchDecider;
    return std::visit(
        [&](const auto& s) -> QString {
            using S = std::decay_t<decltype(s)>;
            if constexpr (std::is_same_v<S, D::Dwelling>) {
                // Truncated, with room for the rounding of progress × 100 (0.29 must read 29 %).
                const double percent = std::isfinite(s.progress) ? std::floor(s.progress * 100 + 1e-9) : 0;
                return "→ " + nameOr(nameFor(s.target)) + " " + QString::number(int(percent)) + "%";
            } else if constexpr (std::is_same_v<S, D::WaitingForKeyboard>) {
                return QObject::tr("waiting: typing");
            } else if constexpr (std::is_same_v<S, D::WaitingForPointer>) {
                return QObject::tr("waiting: mouse");
            } else if constexpr (std::is_same_v<S, D::WaitingForModifiers>) {
                return QObject::tr("waiting: keys held");
            } else if constexpr (std::is_same_v<S, D::CoolingDown>) {
                return QObject::tr("cooling down");
            } else if constexpr (std::is_same_v<S, D::NoFace>) {
                return QObject::tr("no face");
            } else if constexpr (std::is_same_v<S, D::OffScreen>) {
                return QObject::tr("looking away");
            } else if constexpr (std::is_same_v<S, D::Uncertain>) {
                return QObject::tr("uncertain");
            } else {
                return QObject::tr("on focused screen");
            }
        },
        status);
}

HUDView::HUDView(Engine& engine, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                          Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus |
                          Qt::WindowTransparentForInput),
      engine_(engine) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(tr("Orvane Tracking Overlay"));
    setFixedSize(width, height);
    subscription_ = engine_.subscribe([this] { refresh_.request(); });
    lastRaise_.start();
}

QStringList HUDView::lines() const {
    QStringList result;
    for (const Row& row : rows(engine_))
        result << row.text;
    return result;
}

void HUDView::refresh() {
    update();
    // Windows raised by the window manager stack above a panel it does not manage: raise it again
    // now and then, but keep it under the calibration's windows, as everything else is.
    if (isVisible() && lastRaise_.elapsed() > 1000) {
        const auto windows = QApplication::topLevelWidgets();
        const bool calibrating = std::ranges::any_of(
            windows, [](QWidget* w) { return w->isVisible() && qobject_cast<CalibrationWindow*>(w); });
        calibrating ? lower() : raise();
        lastRaise_.restart();
    }
}

void HUDView::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), Qt::transparent);
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);
    QPainterPath background;
    background.addRoundedRect(QRectF(rect()), 12, 12);
    painter.fillPath(background, QColor(0, 0, 0, qRound(0.75 * 255)));

    const QFont font = style::monospace(11);
    const QFontMetricsF metrics(font);
    const double lineHeight = metrics.height();
    const double inner = width - 2 * padding;
    painter.setFont(font);
    painter.setClipRect(rect().adjusted(0, 0, 0, -padding / 2));
    double y = padding;
    for (const Row& row : rows(engine_)) {
        if (!row.probability) {
            painter.setPen(row.colour);
            painter.drawText(QRectF(padding, y, inner, lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
                             metrics.elidedText(row.text, Qt::ElideRight, inner));
        } else {
            painter.setPen(Qt::white);
            painter.drawText(QRectF(padding, y, nameColumn, lineHeight), Qt::AlignLeft | Qt::AlignVCenter,
                             metrics.elidedText(row.text, Qt::ElideRight, nameColumn));
            const double barX = padding + nameColumn + rowSpacing;
            const double barWidth = inner - nameColumn - rowSpacing;
            const QRectF track(barX, y + (lineHeight - barHeight) / 2, barWidth, barHeight);
            painter.setPen(Qt::NoPen);
            painter.setBrush(style::white(0.15));
            painter.drawRoundedRect(track, barHeight / 2.0, barHeight / 2.0);
            const double share = std::isfinite(*row.probability) ? std::clamp(*row.probability, 0.0, 1.0) : 0;
            if (share > 0) {
                painter.setBrush(row.activeScreen ? style::green : style::accent);
                QRectF filled = track;
                filled.setWidth(barWidth * share);
                painter.drawRoundedRect(filled, barHeight / 2.0, barHeight / 2.0);
            }
        }
        y += lineHeight + rowSpacing;
    }
}

void TrackingHUD::show(Engine& engine) {
    if (panel_) return;
    panel_ = std::make_unique<HUDView>(engine);
    if (QScreen* screen = QGuiApplication::primaryScreen()) {
        const QRect area = screen->availableGeometry();
        panel_->move(area.x() + area.width() - HUDView::width - margin, area.y() + margin);
    } else {
        panel_->move(0, 0);
    }
    panel_->show();
    panel_->raise();
}

void TrackingHUD::hide() {
    if (!panel_) return;
    panel_->hide();
    panel_.reset();
}

} // namespace orvane
