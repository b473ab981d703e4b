#pragma once

#include "engine/CalibrationController.h"
#include "engine/DisplayInfo.h"
#include "ui/Coalesced.h"

#include <QPointF>
#include <QVariantAnimation>
#include <QWidget>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QScreen;

namespace orvane {

// One full-screen calibration window: it darkens its monitor and draws the shared calibration state: the
// instructions, and on the monitor being calibrated the dot with its progress ring. Esc cancels.
class CalibrationWindow : public QWidget {
    Q_OBJECT
  public:
    CalibrationWindow(const CalibrationViewState& state, std::string displayID,
                      std::function<void()> onCancel);

    // Shows the window full screen on its screen.
    void showOn(QScreen* screen);

    // Whether the dot is on this window's monitor.
    bool isActive() const;
    // The dot's centre as drawn now, in the window's logical pixels.
    QPointF dotCenter() const;
    bool isGliding() const { return glide_.state() == QAbstractAnimation::Running; }

  protected:
    void paintEvent(QPaintEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

  private:
    void sync();
    void drawInstructions(QPainter& painter, bool active);
    void drawDot(QPainter& painter, QPointF center, double progress);

    const CalibrationViewState& state_;
    std::string displayID_;
    std::function<void()> onCancel_;
    CalibrationViewState::Subscription subscription_;
    Coalesced sync_{this, [this] { sync(); }};
    bool wasActive_ = false;
    QPointF dot_{0.5, 0.5}; // normalised, as drawn
    QVariantAnimation glide_;
};

// The calibration's windows on Qt: one per monitor that has a screen, matched by monitor name (else by
// geometry), each covering its screen exactly, above everything else; the first takes the keyboard.
class QtCalibrationWindows : public CalibrationWindows {
  public:
    void open(const std::vector<DisplayInfo>& displays, const CalibrationViewState& state) override;
    void close() override;

    const std::vector<std::unique_ptr<CalibrationWindow>>& windows() const { return windows_; }

    // The screen showing a display: the one with its monitor name, else the one at its position.
    static QScreen* screenFor(const DisplayInfo& display);

  private:
    std::vector<std::unique_ptr<CalibrationWindow>> windows_;
};

} // namespace orvane
