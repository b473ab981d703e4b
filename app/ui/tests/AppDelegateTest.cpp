#include "ui/AppDelegate.h"

#include "UiTest.h"
#include "ui/StatusMenu.h"
#include "ui/Symbols.h"

#include <QDialog>
#include <QMenu>
#include <QPainter>
#include <QSystemTrayIcon>

// Last: see Desktop.h.
#include "Desktop.h"

using namespace orvane;
using namespace orvane::test;

namespace {

// The menu's items separated by "/": each item's text, then "|off" when disabled and "|checked" when
// checked; separators as "-".
std::string menuItems(AppDelegate& delegate) {
    delegate.rebuildMenu();
    std::string items;
    for (QAction* action : delegate.menu()->actions()) {
        items += items.empty() ? "" : "/";
        items += action->isSeparator() ? "-" : action->text().toStdString();
        if (!action->isEnabled()) items += "|off";
        if (action->isChecked()) items += "|checked";
    }
    return items;
}

} // namespace

TEST(AppDelegate, IconStatusAndMenuFollowTheEngineState) {
    struct Case {
        std::function<void(UiRig&)> before, after; // launch
        std::string status, symbol;
        bool dimmed;
        std::string actions; // the menu's items between the status and the overlay's
    };
    const auto profile = [](UiRig& r) { r.storeProfile(); };
    const std::vector<Case> cases{
        {[](UiRig& r) { r.permissions.trusted = false; },
         {},
         "Needs camera & window control access",
         "eye.trianglebadge.exclamationmark",
         false,
         ""},
        {[](UiRig& r) { r.storeProfile(), r.displays.list = {leftDisplay}; },
         {},
         "Waiting for a second display",
         "eye.slash",
         true,
         "Pause Tracking/Calibrate…|off/"},
        {{},
         {},
         "Needs calibration",
         "eye.trianglebadge.exclamationmark",
         false,
         "Pause Tracking/Calibrate…/"},
        {[](UiRig& r) { r.storeProfile(), r.defaults.set("paused", true); },
         {},
         "Paused",
         "eye.slash",
         true,
         "Resume Tracking/Recalibrate…/"},
        {profile, {}, "Starting camera…", "eye", false, "Pause Tracking/Recalibrate…/"},
        {profile,
         [](UiRig& r) {
             r.windows.onFocusedDisplayChange(rightDisplay.uuid);
             r.track(0.5);
         },
         "Active — RIGHT", "eye", false, "Pause Tracking/Recalibrate…/"},
        {profile, [](UiRig& r) { r.track(0.5, std::nullopt); }, "Active — face not visible", "eye.slash",
         false, "Pause Tracking/Recalibrate…/"},
        {[](UiRig& r) { r.storeProfile(), r.defaults.set("showHUD", true); },
         [](UiRig& r) { r.delegate->recalibrate(); }, "Calibrating…", "scope", false,
         "Pause Tracking/Recalibrate…/"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        UiRig rig;
        if (c.before) c.before(rig);
        rig.launch();
        if (c.after) c.after(rig);
        rig.settle();
        EXPECT_EQ(statusText(rig.engine()).toStdString(), c.status);
        EXPECT_EQ(rig.delegate->iconSymbol().toStdString(), c.symbol);
        EXPECT_EQ(statusDimmed(rig.engine()), c.dimmed);
        EXPECT_EQ(rig.delegate->statusItem()->toolTip().toStdString(), c.status);
        const std::string overlay = rig.engine().settings().showHUD() ? "|checked" : "";
        EXPECT_EQ(menuItems(*rig.delegate), c.status + "|off/-/" + c.actions + "Show Tracking Overlay" +
                                                overlay + "/-/Settings…/Welcome Guide…/-/Quit Orvane");
        if (rig.delegate->calibration()->isRunning()) rig.delegate->calibration()->cancel();
    }
}

// The menu item flips the pause (the hot key's is the whole program's test); the overlay's item shows
// and hides it.
TEST(AppDelegate, MenuItemsAct) {
    UiRig rig;
    rig.storeProfile();
    rig.defaults.set("paused", true);
    rig.launch();
    rig.delegate->rebuildMenu();
    rig.delegate->menu()->actions()[2]->trigger();
    rig.settle();
    EXPECT_EQ(rig.engine().state(), Engine::State::active);

    EXPECT_EQ(rig.delegate->hud().panel(), nullptr);
    rig.delegate->toggleHUD();
    rig.settle();
    ASSERT_NE(rig.delegate->hud().panel(), nullptr);
    EXPECT_TRUE(rig.delegate->hud().panel()->isVisible());
    rig.delegate->toggleHUD();
    rig.settle();
    EXPECT_EQ(rig.delegate->hud().panel(), nullptr);
}

TEST(AppDelegate, GuideOpensAtLaunchOnlyWhileSomethingIsLeftToDo) {
    struct Case {
        bool profile, completed, windowControl, twoDisplays, shown;
    };
    for (const Case& c : {Case{true, true, true, true, false}, Case{true, false, true, true, true},
                          Case{true, true, false, true, true}, Case{false, true, true, true, true},
                          Case{false, true, true, false, false}}) {
        SCOPED_TRACE(testing::Message()
                     << "profile " << c.profile << ", completed " << c.completed << ", window control "
                     << c.windowControl << ", two displays " << c.twoDisplays);
        UiRig rig;
        if (c.profile) rig.storeProfile();
        rig.defaults.set("onboardingCompleted", c.completed);
        rig.permissions.trusted = c.windowControl;
        if (!c.twoDisplays) rig.displays.list = {leftDisplay};
        rig.launch();
        EXPECT_EQ(rig.delegate->onboardingWindow() && rig.delegate->onboardingWindow()->isVisible(), c.shown);
    }
}

TEST(AppDelegate, CalibratingHidesTheWindowsAndCompletesTheGuide) {
    UiRig rig;
    rig.launch();
    rig.delegate->showSettings();
    ASSERT_TRUE(rig.delegate->onboardingWindow()->isVisible());
    rig.delegate->recalibrate();
    rig.settle();
    EXPECT_FALSE(rig.delegate->onboardingWindow()->isVisible());
    EXPECT_FALSE(rig.delegate->settingsWindow()->isVisible());
    EXPECT_EQ(rig.delegate->calibrationWindows().windows().size(), 2u);

    // The simulated head turns to each display as the dot moves there.
    const auto& state = rig.delegate->calibration()->state();
    for (int step = 0; step < 15 * 60 && rig.delegate->calibration()->isRunning(); ++step) {
        const bool right = state.activeDisplay() == rightDisplay.uuid;
        rig.track(1.0 / 15, FakeFaceDetector::facing(right ? -0.35 : 0.35));
    }
    ASSERT_TRUE(state.finished());
    rig.track(3.0);
    EXPECT_TRUE(rig.delegate->calibrationWindows().windows().empty());
    EXPECT_TRUE(rig.engine().settings().onboardingCompleted());
    EXPECT_EQ(rig.log.count("Calibration: Excellent calibration (score "), 1u);
    EXPECT_EQ(rig.engine().state(), Engine::State::active);
}

// The icon sits in the desktop's tray (trayer speaks XEmbed); a right click opens the menu there.
TEST(AppDelegate, TrayIconOpensItsMenuOnARightClick) {
    UiRig rig;
    rig.storeProfile();
    rig.launch();
    QSystemTrayIcon* icon = rig.delegate->statusItem();
    // (The desktop's tray may own its selection a moment after the test starts.)
    ASSERT_TRUE(rig.waitFor(
        [&] { return QSystemTrayIcon::isSystemTrayAvailable() && icon->geometry().width() > 0; }, 5.0));
    // The icon is embedded a little after it reports a geometry, which may change as it is: click where it is
    // now until the menu opens.
    bool opened = false;
    for (int attempt = 0; attempt < 10 && !opened; ++attempt) {
        QApplication::processEvents();
        const QPoint centre = icon->geometry().center();
        std::system(("xdotool mousemove " + std::to_string(centre.x()) + " " + std::to_string(centre.y()) +
                     " click 3")
                        .c_str());
        opened = rig.waitFor([&] { return rig.delegate->menu()->isVisible(); }, 1.0);
    }
    ASSERT_TRUE(opened);
    QPixmap shot = rig.delegate->menu()->grab();
    saveScreenshot(shot, "tray-menu");
    const auto actions = rig.delegate->menu()->actions();
    EXPECT_EQ(actions.front()->text(), "Starting camera…");
    EXPECT_EQ(actions.back()->text(), "Quit Orvane");
    rig.delegate->menu()->hide();
}

// Every symbol the program shows exists and is drawn; a sheet of them on a dark and a light panel, plain
// and dimmed, is written for a look.
TEST(AppDelegate, SymbolsOnDarkAndLightPanels) {
    const QStringList names{"eye",   "eye.slash", "eye.trianglebadge.exclamationmark",
                            "scope", "checkmark", "person.crop.circle.badge.questionmark"};
    QPixmap sheet(names.size() * 56 + 8, 4 * 56 + 8);
    QPainter painter(&sheet);
    const QColor panels[] = {QColor(0x20, 0x20, 0x20), QColor(0xf0, 0xf0, 0xf0)};
    for (int row = 0; row < 4; ++row) {
        painter.fillRect(0, row * 56 + 4, sheet.width(), 56, panels[row % 2]);
        for (int i = 0; i < names.size(); ++i) {
            const QPixmap icon = trayIcon(names[i], row >= 2).pixmap(48, 48);
            ASSERT_FALSE(icon.isNull()) << names[i].toStdString();
            // Something is drawn: not every pixel is transparent.
            const QImage alpha = icon.toImage().convertToFormat(QImage::Format_Alpha8);
            EXPECT_TRUE(std::any_of(alpha.constBits(), alpha.constBits() + alpha.sizeInBytes(), [](uchar a) {
                return a > 0;
            })) << names[i].toStdString();
            painter.drawPixmap(i * 56 + 8, row * 56 + 8, icon);
        }
    }
    painter.end();
    saveScreenshot(sheet, "tray-symbols");
}
