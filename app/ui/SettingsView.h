#pragma once

#include "engine/Engine.h"
#include "engine/Platform.h"
#include "engine/Settings.h"
#include "ui/Coalesced.h"

#include <QString>
#include <QWidget>
#include <functional>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QSlider;

namespace orvane {

// A preference slider: the title and the value text on one line, the slider under them. Continuous: the
// slider's thousand steps span the range.
class LabeledSlider : public QWidget {
    Q_OBJECT
  public:
    LabeledSlider(const QString& title, double minimum, double maximum, std::function<QString(double)> format,
                  QWidget* parent = nullptr);

    double value() const { return value_; }
    // Shows a value without reporting it back.
    void setValue(double value);
    QString valueText() const;
    QSlider* slider() const { return slider_; }

  signals:
    void valueChanged(double value);

  private:
    double minimum_, maximum_, value_;
    std::function<QString(double)> format_;
    QLabel* valueLabel_;
    QSlider* slider_;
};

// The texts the sliders show: halves are rounded away from zero.
QString millisecondsText(double seconds); // 0.25 → "250 ms"
QString percentText(double share);        // 0.005 → "1%"
QString secondsText(double seconds);      // 1.0 → "1.0 s"

// The preferences window's content. Every control writes through to the settings at once (the engine
// follows them); it re-reads the settings and the engine whenever either changes.
class SettingsView : public QWidget {
    Q_OBJECT
  public:
    SettingsView(Engine& engine, Camera& camera, Autostart& autostart, std::function<void()> recalibrate,
                 std::function<void()> showCalibrationMap, QWidget* parent = nullptr);

    // The hot key as users of this desktop write it.
    static QString hotKeyText() { return QStringLiteral("Ctrl+Alt+Super+G"); }

    // Controls, for tests.
    LabeledSlider* switchDelay() const { return switchDelay_; }
    LabeledSlider* turnSensitivity() const { return turnSensitivity_; }
    LabeledSlider* typingPause() const { return typingPause_; }
    LabeledSlider* pointerPause() const { return pointerPause_; }
    QCheckBox* movePointer() const { return movePointer_; }
    QCheckBox* flashFocus() const { return flashFocus_; }
    QComboBox* cameraPicker() const { return cameraPicker_; }
    QCheckBox* learnFromClicks() const { return learnFromClicks_; }
    QPushButton* recalibrateButton() const { return recalibrateButton_; }
    QPushButton* forgetButton() const { return forgetButton_; }
    QPushButton* mapButton() const { return mapButton_; }
    QLabel* learnedSamples() const { return learnedSamples_; }
    QCheckBox* launchAtLogin() const { return launchAtLogin_; }
    QCheckBox* showHUD() const { return showHUD_; }
    QCheckBox* diagnostics() const { return diagnostics_; }

  protected:
    void showEvent(QShowEvent* event) override;

  private:
    void reloadCameras();
    void refresh();
    void setLaunchAtLogin(bool enabled);

    Engine& engine_;
    Settings& settings_;
    Camera& camera_;
    Autostart& autostart_;
    std::function<void()> recalibrate_;
    std::function<void()> showCalibrationMap_;
    std::vector<CameraInfo> cameras_;
    Observers::Subscription engineSubscription_, settingsSubscription_;
    Coalesced refresh_{this, [this] { refresh(); }};

    LabeledSlider* switchDelay_;
    LabeledSlider* turnSensitivity_;
    QCheckBox* movePointer_;
    QCheckBox* flashFocus_;
    LabeledSlider* typingPause_;
    LabeledSlider* pointerPause_;
    QComboBox* cameraPicker_;
    QCheckBox* learnFromClicks_;
    QPushButton* recalibrateButton_;
    QPushButton* forgetButton_;
    QPushButton* mapButton_;
    QLabel* learnedSamples_;
    QCheckBox* launchAtLogin_;
    QCheckBox* showHUD_;
    QCheckBox* diagnostics_;
};

} // namespace orvane
