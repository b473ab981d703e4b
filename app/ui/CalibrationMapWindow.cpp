#include "ui/CalibrationMapWindow.h"

#include "ui/Symbols.h"

#include <QPainter>

namespace orvane {

CalibrationMapWindow::CalibrationMapWindow(Engine& engine, QWidget* parent)
    : QWidget(parent, Qt::Window), engine_(engine) {
    setWindowTitle(tr("Calibration Map"));
    setWindowIcon(applicationIcon());
    setMinimumSize(640, 440);
    resize(900, 620);
    subscription_ = engine_.subscribe([this] { refresh_.request(); });
    refresh();
}

void CalibrationMapWindow::refresh() {
    const auto& profile = engine_.profile();
    if (!profile) {
        map_.reset();
        live_.reset();
        update();
        return;
    }
    const std::size_t samples = profile->calibrationSamples.size() + profile->clickSamples.size();
    const std::string key = CalibrationProfile::key(profile->screenIDs());
    if (!map_ || builtModel_ != engine_.model() || builtSamples_ != samples || builtKey_ != key) {
        map_ = CalibrationMap::build(*profile, engine_.model());
        builtModel_ = engine_.model();
        builtSamples_ = samples;
        builtKey_ = key;
    }
    const auto& snapshot = engine_.snapshot();
    live_ = snapshot ? map_->live(snapshot->pose, snapshot->prediction) : std::nullopt;
    update();
}

void CalibrationMapWindow::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (map_) {
        map_->paint(painter, rect(), live_);
        return;
    }
    painter.fillRect(rect(), palette().window());
    painter.drawText(rect(), Qt::AlignCenter, tr("No calibration yet: calibrate from Orvane's menu."));
}

} // namespace orvane
