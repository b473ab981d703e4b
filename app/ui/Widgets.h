#pragma once

// Small touches our windows share.

#include <QWidget>

namespace orvane {

// Text in the secondary colour (the window text, faded), optionally in a smaller size (0.9 for captions).
inline void makeSecondary(QWidget* widget, double fontScale = 1.0) {
    QPalette palette = widget->palette();
    QColor text = palette.color(QPalette::WindowText);
    text.setAlphaF(0.62f);
    palette.setColor(QPalette::WindowText, text);
    widget->setPalette(palette);
    if (fontScale != 1.0) {
        QFont font = widget->font();
        font.setPointSizeF(font.pointSizeF() * fontScale);
        widget->setFont(font);
    }
}

} // namespace orvane
