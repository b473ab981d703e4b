#pragma once

#include "engine/Engine.h"
#include "ui/CalibrationMap.h"
#include "ui/Coalesced.h"

#include <QWidget>
#include <optional>

namespace orvane {

// The "Calibration Map" window: the current profile's map, redrawn when the model is refitted, with the
// head's live place while tracking runs. Never shows an image of the camera.
class CalibrationMapWindow : public QWidget {
    Q_OBJECT
  public:
    explicit CalibrationMapWindow(Engine& engine, QWidget* parent = nullptr);

    const std::optional<CalibrationMap>& map() const { return map_; }
    const std::optional<CalibrationMap::Live>& live() const { return live_; }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void refresh();

    Engine& engine_;
    Observers::Subscription subscription_;
    Coalesced refresh_{this, [this] { refresh(); }};
    std::optional<CalibrationMap> map_;
    std::optional<CalibrationMap::Live> live_;
    // What the map was built from, to rebuild it only when that changes.
    std::optional<ScreenModel> builtModel_;
    std::size_t builtSamples_ = 0;
    std::string builtKey_;
};

} // namespace orvane
