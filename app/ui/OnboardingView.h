#pragma once

#include "engine/Engine.h"
#include "ui/Coalesced.h"

#include <QString>
#include <QWidget>
#include <functional>

class QLabel;
class QPushButton;

namespace orvane {

// One step of the first-run guide: a numbered badge that turns into a green check once the step is done,
// the title and an explanation, and the step's button while it is not done.
class StepRow : public QWidget {
    Q_OBJECT
  public:
    StepRow(int number, QPushButton* action, QWidget* parent = nullptr);
    void set(const QString& title, const QString& detail, bool done);

    bool isDone() const { return done_; }
    QString title() const;
    QString detail() const;
    QPushButton* action() const { return action_; }

  private:
    class Badge;
    Badge* badge_;
    QLabel* title_;
    QLabel* detail_;
    QPushButton* action_;
    bool done_ = false;
};

// The first-run guide: camera access, window control and the first calibration. Each step completes by
// itself as the engine's permissions, displays and profile change.
class OnboardingView : public QWidget {
    Q_OBJECT
  public:
    // waylandSession: the desktop session is Wayland, where Orvane runs through XWayland.
    OnboardingView(Engine& engine, std::function<void()> calibrate, bool waylandSession,
                   QWidget* parent = nullptr);

    StepRow* cameraStep() const { return camera_; }
    StepRow* windowControlStep() const { return windowControl_; }
    StepRow* calibrationStep() const { return calibration_; }

  private:
    void refresh();

    Engine& engine_;
    std::function<void()> calibrate_;
    bool waylandSession_;
    Observers::Subscription subscription_;
    Coalesced refresh_{this, [this] { refresh(); }};
    StepRow* camera_;
    StepRow* windowControl_;
    StepRow* calibration_;
};

// Whether the desktop session is a Wayland one (XDG_SESSION_TYPE, else WAYLAND_DISPLAY).
bool isWaylandSession();

} // namespace orvane
