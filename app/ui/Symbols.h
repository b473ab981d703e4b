#pragma once

// The program's monochrome symbols ("eye", "eye.slash", "scope", ...), drawn for the project as SVG and
// compiled in. Each has a light glyph over a dark outline, legible on dark and light panels.

#include <QColor>
#include <QIcon>
#include <QPixmap>
#include <QString>
#include <optional>

namespace orvane {

// The symbol at `size` logical pixels for a screen of the given pixel ratio. With a tint, the glyph alone
// in that colour (for use inside our own windows); without, glyph and outline. Null for an unknown name.
QPixmap symbolPixmap(const QString& name, int size, qreal pixelRatio = 1, std::optional<QColor> tint = {});

// The tray icon for a symbol, at the sizes panels ask for; dimmed draws it faded (paused, one display).
QIcon trayIcon(const QString& name, bool dimmed);

// The application's own icon.
QIcon applicationIcon();

} // namespace orvane
