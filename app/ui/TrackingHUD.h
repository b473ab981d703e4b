#pragma once

#include "core/SwitchDecider.h"
#include "engine/Engine.h"
#include "ui/Coalesced.h"

#include <QElapsedTimer>
#include <QString>
#include <QWidget>
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace orvane {

// The decider's status in a few words for the overlay; `nameFor` gives a display's name, absent when it
// has none ("?" is shown then).
QString describe(const SwitchDecider::Status& status,
                 const std::function<std::optional<std::string>(const std::string&)>& nameFor);

// The overlay's content: what the tracker sees right now, redrawn from the engine's latest snapshot.
class HUDView : public QWidget {
    Q_OBJECT
  public:
    static constexpr int width = 260, height = 170;

    HUDView(Engine& engine, QWidget* parent = nullptr);
    // The lines as drawn, top to bottom (a display row is its name); for tests and accessibility.
    QStringList lines() const;

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void refresh();

    Engine& engine_;
    Observers::Subscription subscription_;
    Coalesced refresh_{this, [this] { refresh(); }};
    QElapsedTimer lastRaise_;
};

// The tracking overlay: a small translucent panel at the top right of the primary screen that never takes
// focus and lets every click through to the windows under it.
class TrackingHUD {
  public:
    static constexpr int margin = 16;

    // Builds and shows the panel; nothing when it is shown already.
    void show(Engine& engine);
    // Drops the panel; a later show builds a new one.
    void hide();

    HUDView* panel() const { return panel_.get(); }

  private:
    std::unique_ptr<HUDView> panel_;
};

} // namespace orvane
