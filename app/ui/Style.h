#pragma once

// The few colours and fonts our windows share.

#include <QColor>
#include <QFont>
#include <QFontDatabase>

namespace orvane::style {

inline const QColor accent{0x35, 0x84, 0xe4};
inline const QColor green{0x34, 0xc7, 0x59};
inline const QColor orange{0xff, 0x95, 0x00};

// Sizes are logical pixels, so that a layout measured in them looks the same at every scale.
inline QFont font(int pixelSize, QFont::Weight weight = QFont::Normal) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::GeneralFont);
    f.setPixelSize(pixelSize);
    f.setWeight(weight);
    return f;
}

inline QFont monospace(int pixelSize) {
    QFont f = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    f.setPixelSize(pixelSize);
    return f;
}

inline QColor white(double opacity) {
    QColor c(Qt::white);
    c.setAlphaF(float(opacity));
    return c;
}

} // namespace orvane::style
