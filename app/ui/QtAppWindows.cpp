#include "ui/QtAppWindows.h"

#include <QApplication>
#include <QWidget>
#include <QWindow>

namespace orvane {

QtAppWindows::QtAppWindows() {
    auto changed = [this] {
        if (onChange) onChange();
    };
    connect(qApp, &QGuiApplication::applicationStateChanged, this, changed);
    connect(qApp, &QGuiApplication::focusWindowChanged, this, changed);
}

bool QtAppWindows::ownWindowIsKey() {
    const QWidget* active = QApplication::activeWindow();
    return QGuiApplication::applicationState() == Qt::ApplicationActive && active && active->isVisible();
}

} // namespace orvane
