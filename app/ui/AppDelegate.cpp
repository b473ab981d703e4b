#include "ui/AppDelegate.h"

#include "ui/OnboardingView.h"
#include "ui/SettingsView.h"
#include "ui/StatusMenu.h"
#include "ui/Symbols.h"

#include <QApplication>
#include <QDialog>
#include <QMenu>
#include <QScreen>
#include <QStyleOptionMenuItem>
#include <QSystemTrayIcon>
#include <QVBoxLayout>

namespace orvane {

namespace {

// The menu draws the pause hot key as this desktop writes it; Qt's key names would say Meta+Ctrl+Alt+G.
// (Tray hosts that draw the menu themselves get the key from the item's shortcut.)
class TrayMenu : public QMenu {
  protected:
    void initStyleOption(QStyleOptionMenuItem* option, const QAction* action) const override {
        QMenu::initStyleOption(option, action);
        if (action->shortcut() == QKeySequence(Qt::CTRL | Qt::ALT | Qt::META | Qt::Key_G))
            option->text = action->text() + '\t' + SettingsView::hotKeyText();
    }
};

} // namespace

AppDelegate::AppDelegate(AppServices services) : services_(std::move(services)) {}

AppDelegate::~AppDelegate() {
    // The windows observe the engine: they go first.
    hud_.hide();
    flash_.reset();
    if (engine_) engine_->onFocusMoved = nullptr;
    settingsWindow_.reset();
    onboardingWindow_.reset();
    mapWindow_.reset();
    // The calibration windows draw the controller's state: they close before it goes.
    calibrationWindows_.close();
    calibration_.reset();
    hotKey_.reset();
}

void AppDelegate::launch() {
    engine_ = Engine::create(services_.engine);
    calibration_ = std::make_unique<CalibrationController>(*engine_, calibrationWindows_,
                                                           services_.engine.main, services_.engine.clock);

    menu_ = std::make_unique<TrayMenu>();
    connect(menu_.get(), &QMenu::aboutToShow, this, &AppDelegate::rebuildMenu);
    statusItem_ = std::make_unique<QSystemTrayIcon>();
    statusItem_->setContextMenu(menu_.get());
    rebuildMenu();
    if (!QSystemTrayIcon::isSystemTrayAvailable())
        Logger(services_.engine.log, "engine")
            .info("No system tray is running: Orvane keeps working; Ctrl+Alt+Super+G pauses and resumes, and "
                  "starting Orvane again opens its settings");

    engine_->onFocusMoved = [this](const Rect& frame) {
        if (!engine_->settings().flashFocus()) return;
        if (!flash_) flash_ = std::make_unique<FocusFlash>();
        flash_->flash(frame, engine_->displays());
    };

    hotKey_ = std::make_unique<HotKey>(services_.hotKeys, services_.engine.main, [this] { togglePause(); });

    // Told before a value changes: look again once it has.
    engineSubscription_ = engine_->subscribe([this] { iconUpdate_.request(); });
    settingsSubscription_ = engine_->settings().subscribe([this] { hudUpdate_.request(); });
    followHUDSetting();
    updateIcon();
    statusItem_->show();

    const Settings& settings = engine_->settings();
    if (engine_->cameraPermission() != CameraAuthorization::authorized || !engine_->accessibilityTrusted() ||
        !settings.onboardingCompleted() || (engine_->displays().size() >= 2 && !engine_->profile()))
        showOnboarding();
}

void AppDelegate::terminate() {
    if (engine_) engine_->shutdown();
}

void AppDelegate::followHUDSetting() {
    if (engine_->settings().showHUD())
        hud_.show(*engine_);
    else
        hud_.hide();
}

void AppDelegate::updateIcon() {
    const QString symbol = statusSymbol(*engine_);
    const bool dimmed = statusDimmed(*engine_);
    if (symbol != iconSymbol_ || dimmed != iconDimmed_) {
        iconSymbol_ = symbol;
        iconDimmed_ = dimmed;
        statusItem_->setIcon(trayIcon(symbol, dimmed));
    }
    const QString text = statusText(*engine_);
    if (statusItem_->toolTip() != text) statusItem_->setToolTip(text);
}

void AppDelegate::rebuildMenu() {
    QMenu& menu = *menu_;
    menu.clear();
    const Engine& engine = *engine_;
    const Settings& settings = engine_->settings();
    auto add = [&](const QString& text, void (AppDelegate::*command)(), const QKeySequence& shortcut = {}) {
        QAction* action = menu.addAction(text);
        connect(action, &QAction::triggered, this, command);
        // Shown beside the item; it acts only while the menu is open.
        action->setShortcut(shortcut);
        action->setShortcutContext(Qt::WidgetShortcut);
        return action;
    };

    menu.addAction(statusText(engine))->setEnabled(false);
    if (engine.accuracyDropped()) add(tr("Accuracy dropped — recalibrate?"), &AppDelegate::recalibrate);
    menu.addSeparator();
    if (engine.state() != Engine::State::needsPermissions) {
        add(settings.paused() ? tr("Resume Tracking") : tr("Pause Tracking"), &AppDelegate::togglePause,
            QKeySequence(Qt::CTRL | Qt::ALT | Qt::META | Qt::Key_G));
        add(engine.profile() ? tr("Recalibrate…") : tr("Calibrate…"), &AppDelegate::recalibrate)
            ->setEnabled(engine.displays().size() >= 2);
    }
    QAction* overlay = add(tr("Show Tracking Overlay"), &AppDelegate::toggleHUD);
    overlay->setCheckable(true);
    overlay->setChecked(settings.showHUD());
    menu.addSeparator();
    add(tr("Settings…"), &AppDelegate::showSettings, QKeySequence(Qt::CTRL | Qt::Key_Comma));
    add(tr("Welcome Guide…"), &AppDelegate::showOnboarding);
    menu.addSeparator();
    QAction* quit = menu.addAction(tr("Quit Orvane"));
    quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    quit->setShortcutContext(Qt::WidgetShortcut);
    connect(quit, &QAction::triggered, qApp, &QCoreApplication::quit, Qt::QueuedConnection);
}

void AppDelegate::togglePause() {
    Settings& settings = engine_->settings();
    settings.setPaused(!settings.paused());
}

void AppDelegate::toggleHUD() {
    Settings& settings = engine_->settings();
    settings.setShowHUD(!settings.showHUD());
}

void AppDelegate::recalibrate() {
    if (onboardingWindow_) onboardingWindow_->hide();
    if (settingsWindow_) settingsWindow_->hide();
    calibration_->start([this] {
        const auto& state = calibration_->state();
        if (state.finished() && state.score())
            Logger(services_.engine.log, "engine")
                .info("Calibration: " + CalibrationController::verdict(*state.score()) + " (score " +
                      QString::number(*state.score(), 'f', 3).toStdString() + ")");
        if (engine_->profile()) engine_->settings().setOnboardingCompleted(true);
    });
}

namespace {

// A window that hosts one view; closing it only hides it.
std::unique_ptr<QDialog> hostWindow(QWidget* view, const QString& title) {
    auto window =
        std::make_unique<QDialog>(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowCloseButtonHint);
    window->setWindowTitle(title);
    window->setWindowIcon(applicationIcon());
    auto* layout = new QVBoxLayout(window.get());
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    layout->addWidget(view);
    return window;
}

void bringForward(QDialog& window, bool firstTime) {
    if (firstTime)
        if (QScreen* screen = QGuiApplication::primaryScreen()) {
            window.adjustSize();
            window.move(screen->availableGeometry().center() - window.rect().center());
        }
    window.show();
    window.raise();
    window.activateWindow();
}

} // namespace

void AppDelegate::showSettings() {
    const bool firstTime = !settingsWindow_;
    if (firstTime)
        settingsWindow_ = hostWindow(new SettingsView(
                                         *engine_, services_.engine.camera, services_.autostart,
                                         [this] { recalibrate(); }, [this] { showCalibrationMap(); }),
                                     tr("Orvane Settings"));
    bringForward(*settingsWindow_, firstTime);
}

void AppDelegate::showCalibrationMap() {
    if (!mapWindow_) mapWindow_ = std::make_unique<CalibrationMapWindow>(*engine_);
    mapWindow_->show();
    mapWindow_->raise();
    mapWindow_->activateWindow();
}

void AppDelegate::showOnboarding() {
    const bool firstTime = !onboardingWindow_;
    if (firstTime)
        onboardingWindow_ = hostWindow(new OnboardingView(
                                           *engine_, [this] { recalibrate(); }, services_.waylandSession),
                                       tr("Welcome to Orvane"));
    bringForward(*onboardingWindow_, firstTime);
}

} // namespace orvane
