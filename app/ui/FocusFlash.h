#pragma once

#include "engine/DisplayInfo.h"

#include <QVariantAnimation>
#include <QWidget>
#include <memory>
#include <vector>

namespace orvane {

// A brief outline around the window that just received keyboard focus, so that the user sees at once
// where their typing goes. It never takes focus, lets every click through, covers only the outline (the
// window's content stays untouched even without a compositor) and fades out within 0.4 s.
class FocusFlash : public QWidget {
    Q_OBJECT
  public:
    static constexpr int thickness = 6; // logical pixels: the accent colour, then a white line inside it
    static constexpr int fadeMillis = 400;

    FocusFlash();

    // Outlines a window frame (global X coordinates), clipped to the display that shows most of it.
    void flash(const Rect& frame, const std::vector<DisplayInfo>& displays);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QVariantAnimation fade_;
    double opacity_ = 1;
};

} // namespace orvane
