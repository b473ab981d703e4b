#include "ui/Symbols.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>

// The icons are compiled into this static library: their resource needs registering once.
static void registerIcons() {
    static const bool registered = [] {
        Q_INIT_RESOURCE(icons);
        return true;
    }();
    (void)registered;
}

namespace orvane {

namespace {

QByteArray symbolSource(const QString& name) {
    registerIcons();
    QFile file(":/icons/" + name + ".svg");
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

QPixmap render(const QByteArray& svg, int size, qreal pixelRatio, qreal opacity) {
    QSvgRenderer renderer(svg);
    if (!renderer.isValid()) return {};
    const int pixels = qMax(1, qRound(size * pixelRatio));
    QPixmap pixmap(pixels, pixels);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setOpacity(opacity);
    renderer.render(&painter);
    painter.end();
    pixmap.setDevicePixelRatio(pixelRatio);
    return pixmap;
}

} // namespace

QPixmap symbolPixmap(const QString& name, int size, qreal pixelRatio, std::optional<QColor> tint) {
    QByteArray svg = symbolSource(name);
    if (svg.isEmpty()) return {};
    if (tint) {
        // The outline layer goes; the glyph takes the tint.
        svg.replace("stroke-opacity=\"0.9\"", "stroke-opacity=\"0\"");
        svg.replace("#ffffff", tint->name(QColor::HexRgb).toLatin1());
    }
    return render(svg, size, pixelRatio, tint ? tint->alphaF() : 1.0);
}

QIcon trayIcon(const QString& name, bool dimmed) {
    const QByteArray svg = symbolSource(name);
    QIcon icon;
    if (svg.isEmpty()) return icon;
    for (int size : {16, 22, 24, 32, 48, 64})
        icon.addPixmap(render(svg, size, 1, dimmed ? 0.45 : 1.0));
    return icon;
}

QIcon applicationIcon() {
    const QByteArray svg = symbolSource("org.orvane.Orvane");
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256})
        icon.addPixmap(render(svg, size, 1, 1.0));
    return icon;
}

} // namespace orvane
