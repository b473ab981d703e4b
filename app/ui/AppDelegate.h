#pragma once

#include "engine/CalibrationController.h"
#include "engine/Engine.h"
#include "engine/Platform.h"
#include "engine/SystemServices.h"
#include "ui/CalibrationMapWindow.h"
#include "ui/CalibrationWindow.h"
#include "ui/Coalesced.h"
#include "ui/FocusFlash.h"
#include "ui/TrackingHUD.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <memory>

class QDialog;
class QMenu;
class QSystemTrayIcon;

namespace orvane {

class OnboardingView;
class SettingsView;

// What the program's user interface needs beyond the engine's services.
struct AppServices {
    EngineServices engine;
    HotKeys& hotKeys;
    Autostart& autostart;
    bool waylandSession = false;
};

// The program's user interface: creates the engine and the calibration controller, keeps the tray icon
// and its menu in step with the engine, holds the pause hot key and the overlay, and opens the settings
// window and the first-run guide. Lives on the main thread for the whole process.
class AppDelegate : public QObject {
    Q_OBJECT
  public:
    explicit AppDelegate(AppServices services);
    ~AppDelegate() override;

    // Creates the engine and everything around it, and shows the guide when something is left to do.
    void launch();
    // The exit path: the profile is saved with every queued write done.
    void terminate();

    // The menu's commands.
    void togglePause();
    void toggleHUD();
    void recalibrate();
    void showSettings();
    void showOnboarding();
    void showCalibrationMap();

    Engine* engine() const { return engine_.get(); }
    CalibrationController* calibration() const { return calibration_.get(); }
    QSystemTrayIcon* statusItem() const { return statusItem_.get(); }
    QMenu* menu() const { return menu_.get(); }
    const TrackingHUD& hud() const { return hud_; }
    // The outline shown after a switch; absent until the first one.
    FocusFlash* focusFlash() const { return flash_.get(); }
    const QtCalibrationWindows& calibrationWindows() const { return calibrationWindows_; }
    QDialog* settingsWindow() const { return settingsWindow_.get(); }
    QDialog* onboardingWindow() const { return onboardingWindow_.get(); }
    CalibrationMapWindow* calibrationMapWindow() const { return mapWindow_.get(); }
    // The symbol the icon shows now.
    const QString& iconSymbol() const { return iconSymbol_; }

    // Rebuilds the menu for the current state, as when it opens.
    void rebuildMenu();

  private:
    void updateIcon();
    void followHUDSetting();

    AppServices services_;
    std::shared_ptr<Engine> engine_;
    QtCalibrationWindows calibrationWindows_;
    std::unique_ptr<CalibrationController> calibration_;
    std::unique_ptr<QMenu> menu_;
    std::unique_ptr<QSystemTrayIcon> statusItem_;
    TrackingHUD hud_;
    std::unique_ptr<FocusFlash> flash_;
    std::unique_ptr<HotKey> hotKey_;
    std::unique_ptr<QDialog> settingsWindow_;
    std::unique_ptr<QDialog> onboardingWindow_;
    std::unique_ptr<CalibrationMapWindow> mapWindow_;
    Observers::Subscription engineSubscription_, settingsSubscription_;
    QString iconSymbol_;
    bool iconDimmed_ = false;
    Coalesced iconUpdate_{this, [this] { updateIcon(); }};
    Coalesced hudUpdate_{this, [this] { followHUDSetting(); }};
};

} // namespace orvane
