#include "ui/CalibrationWindow.h"

#include "ui/Style.h"
#include "ui/Symbols.h"

#include <QCoreApplication>
#include <QEasingCurve>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QTextOption>
#include <QWindow>

namespace orvane {

namespace {

// The run's texts, for the translation tools: the controller writes them in English, the window shows
// their translation when there is one.
[[maybe_unused]] const char* const runTexts[] = {
    QT_TRANSLATE_NOOP("Calibration", "Getting ready"),
    QT_TRANSLATE_NOOP("Calibration",
                      "Sit as you normally do. Follow the dot — turn your head the way you naturally would."),
    QT_TRANSLATE_NOOP("Calibration", "Waiting for the camera to see your face…"),
    QT_TRANSLATE_NOOP("Calibration", "Look at this screen"),
    QT_TRANSLATE_NOOP("Calibration", "Can't see your face clearly — check lighting and the camera."),
    QT_TRANSLATE_NOOP("Calibration", "Hold still on the dot for a moment."),
    QT_TRANSLATE_NOOP("Calibration", "Calibrating…"),
    QT_TRANSLATE_NOOP("Calibration", "Excellent calibration"),
    QT_TRANSLATE_NOOP("Calibration", "Good calibration"),
    QT_TRANSLATE_NOOP("Calibration", "Fair calibration"),
    QT_TRANSLATE_NOOP("Calibration", "Calibration is unreliable"),
    QT_TRANSLATE_NOOP("Calibration", "You're set. Look at a screen and start typing."),
    QT_TRANSLATE_NOOP("Calibration",
                      "The screens look similar from the camera. Try again sitting as you usually "
                      "do, or choose another camera in Settings."),
};

QString translated(const std::string& text) {
    return QCoreApplication::translate("Calibration", text.c_str());
}

constexpr double dotDiameter = 44, centerDiameter = 10, ringWidth = 3;
constexpr int spacing = 10, detailWidth = 520, faceLabelPadding = 6;

// The dot's glide: ease-in-out, the standard cubic curve.
QEasingCurve easeInOut() {
    QEasingCurve curve(QEasingCurve::BezierSpline);
    curve.addCubicBezierSegment({0.42, 0}, {0.58, 1}, {1, 1});
    return curve;
}

} // namespace

CalibrationWindow::CalibrationWindow(const CalibrationViewState& state, std::string displayID,
                                     std::function<void()> onCancel)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint), state_(state),
      displayID_(std::move(displayID)), onCancel_(std::move(onCancel)) {
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowTitle(tr("Orvane Calibration"));
    setCursor(Qt::BlankCursor);
    glide_.setDuration(int(CalibrationViewState::dotAnimationSeconds * 1000));
    glide_.setEasingCurve(easeInOut());
    connect(&glide_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        dot_ = value.toPointF();
        update();
    });
    // Told before a value changes: read the state once the change is done.
    subscription_ = state_.subscribe([this] { sync_.request(); });
    wasActive_ = isActive();
    dot_ = {state_.dot().x, state_.dot().y};
}

bool CalibrationWindow::isActive() const {
    return state_.activeDisplay() && *state_.activeDisplay() == displayID_;
}

QPointF CalibrationWindow::dotCenter() const {
    return {dot_.x() * width(), dot_.y() * height()};
}

void CalibrationWindow::sync() {
    const bool active = isActive();
    const QPointF target(state_.dot().x, state_.dot().y);
    const QPointF heading =
        glide_.state() == QAbstractAnimation::Running ? glide_.endValue().toPointF() : dot_;
    if (!active || !wasActive_) {
        // The dot appears where it is; it glides only between positions on this monitor.
        glide_.stop();
        dot_ = target;
    } else if (target != heading) {
        glide_.stop();
        glide_.setStartValue(dot_);
        glide_.setEndValue(target);
        glide_.start();
    }
    wasActive_ = active;
    update();
}

void CalibrationWindow::showOn(QScreen* screen) {
    // Placed on its screen first, so that the full-screen state (which tiling window managers honour where
    // they ignore geometry) takes that monitor.
    setScreen(screen);
    setGeometry(screen->geometry());
    showFullScreen();
}

void CalibrationWindow::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Escape) {
        event->accept();
        if (onCancel_) onCancel_();
        return;
    }
    QWidget::keyPressEvent(event);
}

void CalibrationWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    const bool active = isActive();
    const bool otherActive = state_.activeDisplay() && !active;
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    painter.fillRect(rect(), QColor(0, 0, 0, qRound((otherActive ? 0.96 : 0.88) * 255)));
    painter.setCompositionMode(QPainter::CompositionMode_SourceOver);

    if (!otherActive) drawInstructions(painter, active);
    if (active) drawDot(painter, dotCenter(), state_.dotProgress());
    if (!state_.finished()) {
        painter.setFont(style::font(12));
        painter.setPen(style::white(0.45));
        const QRectF line(0, height() - 40 - 20, width(), 40);
        painter.drawText(line, Qt::AlignCenter, tr("Press Esc to cancel"));
    }
}

// Message, detail and the face warning as one centred column, its centre at 30 % of the height on the
// monitor being calibrated and at 45 % otherwise.
void CalibrationWindow::drawInstructions(QPainter& painter, bool active) {
    const QString message = translated(state_.message());
    const QString detail = translated(state_.detail());
    const bool faceWarning = !state_.faceVisible() && !state_.finished();
    const QFont messageFont = style::font(28, QFont::DemiBold);
    const QFont detailFont = style::font(15);
    const QFont warningFont = style::font(13, QFont::Medium);
    const int margin = 20;
    const int columnWidth = std::max(0, width() - 2 * margin);

    QTextOption centred(Qt::AlignHCenter);
    centred.setWrapMode(QTextOption::WordWrap);
    const QRectF messageBox =
        QFontMetricsF(messageFont)
            .boundingRect(QRectF(0, 0, columnWidth, 10000), Qt::AlignHCenter | Qt::TextWordWrap, message);
    const double detailColumn = std::min(detailWidth, columnWidth);
    const QRectF detailBox = detail.isEmpty()
                                 ? QRectF()
                                 : QFontMetricsF(detailFont)
                                       .boundingRect(QRectF(0, 0, detailColumn, 10000),
                                                     Qt::AlignHCenter | Qt::TextWordWrap, detail);
    const QString warning = tr("Face not detected");
    const QFontMetricsF warningMetrics(warningFont);
    const double iconSize = warningMetrics.height();
    const double warningHeight = faceLabelPadding + warningMetrics.height();

    double total = messageBox.height();
    if (!detail.isEmpty()) total += spacing + detailBox.height();
    if (faceWarning) total += spacing + warningHeight;
    double y = (active ? 0.3 : 0.45) * height() - total / 2;

    painter.setPen(Qt::white);
    painter.setFont(messageFont);
    painter.drawText(QRectF(margin, y, columnWidth, messageBox.height()), Qt::AlignHCenter | Qt::TextWordWrap,
                     message);
    y += messageBox.height();
    if (!detail.isEmpty()) {
        y += spacing;
        painter.setPen(style::white(0.7));
        painter.setFont(detailFont);
        painter.drawText(QRectF((width() - detailColumn) / 2, y, detailColumn, detailBox.height()),
                         Qt::AlignHCenter | Qt::TextWordWrap, detail);
        y += detailBox.height();
    }
    if (faceWarning) {
        y += spacing + faceLabelPadding;
        const double textWidth = warningMetrics.horizontalAdvance(warning);
        const double gap = 5;
        double x = (width() - (iconSize + gap + textWidth)) / 2;
        const QPixmap icon = symbolPixmap("person.crop.circle.badge.questionmark", qRound(iconSize),
                                          devicePixelRatioF(), style::orange);
        painter.drawPixmap(QPointF(x, y), icon);
        painter.setPen(style::orange);
        painter.setFont(warningFont);
        painter.drawText(QRectF(x + iconSize + gap, y, textWidth + 1, warningMetrics.height()),
                         Qt::AlignLeft | Qt::AlignVCenter, warning);
    }
}

// A translucent accent disc, the hold's progress as a white ring from the top clockwise, a white centre.
void CalibrationWindow::drawDot(QPainter& painter, QPointF center, double progress) {
    const QRectF disc(center.x() - dotDiameter / 2, center.y() - dotDiameter / 2, dotDiameter, dotDiameter);
    QColor fill = style::accent;
    fill.setAlphaF(0.25f);
    painter.setPen(Qt::NoPen);
    painter.setBrush(fill);
    painter.drawEllipse(disc);

    progress = std::clamp(progress, 0.0, 1.0);
    if (progress > 0) {
        QPen ring(Qt::white, ringWidth, Qt::SolidLine, Qt::RoundCap, Qt::MiterJoin);
        ring.setMiterLimit(10);
        painter.setPen(ring);
        painter.setBrush(Qt::NoBrush);
        // Qt's angles run counter-clockwise from three o'clock in sixteenths of a degree.
        painter.drawArc(disc, 90 * 16, -qRound(progress * 360 * 16));
    }

    painter.setPen(Qt::NoPen);
    painter.setBrush(Qt::white);
    painter.drawEllipse(center, centerDiameter / 2, centerDiameter / 2);
}

// ---- The set of windows

QScreen* QtCalibrationWindows::screenFor(const DisplayInfo& display) {
    const auto screens = QGuiApplication::screens();
    for (QScreen* screen : screens)
        if (screen->name().toStdString() == display.name) return screen;
    // Qt's geometry is in device-independent pixels: compare in the X server's.
    for (QScreen* screen : screens) {
        const QRect g = screen->geometry();
        const double ratio = screen->devicePixelRatio();
        if (std::abs(g.x() - display.bounds.x) < 1 && std::abs(g.y() - display.bounds.y) < 1 &&
            std::abs(g.width() * ratio - display.bounds.width) < 2 &&
            std::abs(g.height() * ratio - display.bounds.height) < 2)
            return screen;
    }
    return nullptr;
}

void QtCalibrationWindows::open(const std::vector<DisplayInfo>& displays, const CalibrationViewState& state) {
    close();
    for (const DisplayInfo& display : displays) {
        QScreen* screen = screenFor(display);
        if (!screen) continue;
        auto window = std::make_unique<CalibrationWindow>(state, display.uuid, [this] {
            if (onCancel) onCancel();
        });
        window->showOn(screen);
        windows_.push_back(std::move(window));
    }
    if (!windows_.empty()) {
        windows_.front()->raise();
        windows_.front()->activateWindow();
    }
}

void QtCalibrationWindows::close() {
    for (auto& window : windows_)
        window->hide();
    windows_.clear();
}

} // namespace orvane
