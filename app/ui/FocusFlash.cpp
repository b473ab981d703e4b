#include "ui/FocusFlash.h"

#include "ui/CalibrationWindow.h"
#include "ui/Style.h"

#include <QPainter>
#include <QRegion>
#include <QScreen>

namespace orvane {

FocusFlash::FocusFlash()
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint |
                           Qt::X11BypassWindowManagerHint | Qt::WindowDoesNotAcceptFocus |
                           Qt::WindowTransparentForInput) {
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowTitle(tr("Orvane Focus Flash"));
    fade_.setStartValue(1.0);
    fade_.setEndValue(0.0);
    fade_.setDuration(fadeMillis);
    fade_.setEasingCurve(QEasingCurve::InQuad);
    connect(&fade_, &QVariantAnimation::valueChanged, this, [this](const QVariant& value) {
        opacity_ = value.toDouble();
        update();
    });
    connect(&fade_, &QVariantAnimation::finished, this, &QWidget::hide);
}

void FocusFlash::flash(const Rect& frame, const std::vector<DisplayInfo>& displays) {
    const auto display = displayFor(frame, displays);
    if (!display) return;
    const Rect visible = frame.intersection(display->bounds);
    QScreen* screen = QtCalibrationWindows::screenFor(*display);
    if (visible.isEmpty() || !screen) return;
    // From the X server's pixels to Qt's device-independent ones on that screen.
    const double ratio = screen->devicePixelRatio();
    const QPoint origin = screen->geometry().topLeft();
    const QRect area(origin.x() + qRound((visible.x - display->bounds.x) / ratio),
                     origin.y() + qRound((visible.y - display->bounds.y) / ratio),
                     qRound(visible.width / ratio), qRound(visible.height / ratio));
    fade_.stop();
    setGeometry(area);
    // Only the outline is part of the window: nothing covers the content, composited or not.
    const QRect inner = rect().adjusted(thickness, thickness, -thickness, -thickness);
    setMask(QRegion(rect()).subtracted(QRegion(inner)));
    opacity_ = 1;
    show();
    raise();
    fade_.start();
}

void FocusFlash::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setCompositionMode(QPainter::CompositionMode_Source);
    // Accent outside, white inside: legible on windows of any colour.
    QColor outer = style::accent, inner = Qt::white;
    outer.setAlphaF(float(opacity_));
    inner.setAlphaF(float(opacity_));
    painter.fillRect(rect(), inner);
    const int band = thickness - 2;
    const QRegion accent = QRegion(rect()).subtracted(QRegion(rect().adjusted(band, band, -band, -band)));
    for (const QRect& part : accent)
        painter.fillRect(part, outer);
}

} // namespace orvane
