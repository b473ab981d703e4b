#include "ui/StatusMenu.h"

#include <QCoreApplication>

namespace orvane {

namespace {
QString tr(const char* text) {
    return QCoreApplication::translate("StatusMenu", text);
}
} // namespace

QString statusSymbol(const Engine& engine) {
    switch (engine.state()) {
    case Engine::State::needsPermissions:
    case Engine::State::needsCalibration:
        return "eye.trianglebadge.exclamationmark";
    case Engine::State::calibrating:
        return "scope";
    case Engine::State::singleDisplay:
    case Engine::State::paused:
    case Engine::State::suspended:
        return "eye.slash";
    case Engine::State::active:
        break;
    }
    if (engine.accuracyDropped()) return "eye.trianglebadge.exclamationmark";
    const auto& snapshot = engine.snapshot();
    return !snapshot || snapshot->faceVisible ? "eye" : "eye.slash";
}

bool statusDimmed(const Engine& engine) {
    return engine.state() == Engine::State::paused || engine.state() == Engine::State::singleDisplay;
}

QString statusText(const Engine& engine) {
    switch (engine.state()) {
    case Engine::State::needsPermissions:
        return tr("Needs camera & window control access");
    case Engine::State::singleDisplay:
        return tr("Waiting for a second display");
    case Engine::State::needsCalibration:
        return tr("Needs calibration");
    case Engine::State::calibrating:
        return tr("Calibrating…");
    case Engine::State::paused:
        return tr("Paused");
    case Engine::State::suspended:
        return tr("Idle (screen locked or asleep)");
    case Engine::State::active:
        break;
    }
    const auto& snapshot = engine.snapshot();
    if (!snapshot) return tr("Starting camera…");
    if (!snapshot->faceVisible) return tr("Active — face not visible");
    if (auto name = engine.displayName(snapshot->activeScreen))
        return tr("Active — %1").arg(QString::fromStdString(*name));
    return tr("Active");
}

} // namespace orvane
