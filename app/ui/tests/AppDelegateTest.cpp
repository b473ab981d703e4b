#include "ui/AppDelegate.h"

#include "UiTest.h"
#include "ui/StatusMenu.h"

#include <QDialog>
#include <QMenu>
#include <QSystemTrayIcon>

// Last: see Desktop.h.
#include "Desktop.h"

using namespace orvane;
using namespace orvane::test;

namespace {

// The menu's items as "text|off|checked/...": disabled and checked ones marked, separators as "-".
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
        std::string status, icon, actions; // icon: its symbol, " dimmed"; actions: between status and overlay
        std::function<void(UiRig&)> before = {}, after = {}; // launch in between
    };
    const auto profile = [](UiRig& r) { r.storeProfile(); };
    const std::string pause = "Pause Tracking/Recalibrate…/", attention = "eye.trianglebadge.exclamationmark";
    const std::vector<Case> cases{
        {"Needs camera & window control access", attention, "",
         [](UiRig& r) { r.permissions.trusted = false; }},
        {"Waiting for a second display", "eye.slash dimmed", "Pause Tracking/Calibrate…|off/",
         [](UiRig& r) { r.storeProfile(), r.displays.list = {leftDisplay}; }},
        {"Needs calibration", attention, "Pause Tracking/Calibrate…/"},
        {"Paused", "eye.slash dimmed", "Resume Tracking/Recalibrate…/",
         [](UiRig& r) { r.storeProfile(), r.defaults.set("paused", true); }},
        {"Starting camera…", "eye", pause, profile},
        {"Active — RIGHT", "eye", pause, profile,
         [](UiRig& r) { r.windows.onFocusedDisplayChange(rightDisplay.uuid), r.track(0.5); }},
        {"Active — face not visible", "eye.slash", pause, profile,
         [](UiRig& r) { r.track(0.5, std::nullopt); }},
        {"Calibrating…", "scope", pause, [](UiRig& r) { r.storeProfile(), r.defaults.set("showHUD", true); },
         [](UiRig& r) { r.delegate->recalibrate(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        UiRig rig;
        if (c.before) c.before(rig);
        rig.launch();
        if (c.after) c.after(rig);
        rig.settle();
        EXPECT_EQ(rig.delegate->iconSymbol().toStdString() + (statusDimmed(rig.engine()) ? " dimmed" : ""),
                  c.icon);
        EXPECT_FALSE(rig.delegate->statusItem()->icon().pixmap(22, 22).isNull()) << "a symbol is drawn";
        EXPECT_EQ(rig.delegate->statusItem()->toolTip().toStdString(), c.status);
        const std::string overlay = rig.engine().settings().showHUD() ? "|checked" : "";
        EXPECT_EQ(menuItems(*rig.delegate), c.status + "|off/-/" + c.actions + "Show Tracking Overlay" +
                                                overlay + "/-/Settings…/Welcome Guide…/-/Quit Orvane");
        if (rig.delegate->calibration()->isRunning()) rig.delegate->calibration()->cancel();
    }
}

// The menu's items flip the pause (the hot key's is the whole program's test) and show and hide the overlay.
TEST(AppDelegate, MenuItemsAct) {
    UiRig rig;
    rig.storeProfile();
    rig.defaults.set("paused", true);
    rig.launch();
    const auto trigger = [&](const QString& text) {
        rig.delegate->rebuildMenu();
        for (QAction* action : rig.delegate->menu()->actions())
            if (action->text() == text) action->trigger();
        rig.settle();
    };
    trigger("Resume Tracking");
    EXPECT_EQ(rig.engine().state(), Engine::State::active);
    for (bool shown : {true, false}) {
        trigger("Show Tracking Overlay");
        EXPECT_EQ(rig.delegate->hud().panel() && rig.delegate->hud().panel()->isVisible(), shown);
    }
}

TEST(AppDelegate, GuideOpensAtLaunchOnlyWhileSomethingIsLeftToDo) {
    struct Case {
        bool profile, completed, windowControl, twoDisplays, shown;
    };
    for (const Case& c : {Case{true, true, true, true, false}, Case{true, false, true, true, true},
                          Case{true, true, false, true, true}, Case{false, true, true, true, true},
                          Case{false, true, true, false, false}}) {
        SCOPED_TRACE(testing::Message() << c.profile << c.completed << c.windowControl << c.twoDisplays);
        UiRig rig;
        if (c.profile) rig.storeProfile();
        rig.defaults.set("onboardingCompleted", c.completed);
        rig.permissions.trusted = c.windowControl;
        if (!c.twoDisplays) rig.displays.list = {leftDisplay};
        rig.launch();
        EXPECT_EQ(rig.delegate->onboardingWindow() && rig.delegate->onboardingWindow()->isVisible(), c.shown);
    }
}

// The icon sits in the desktop's tray (trayer speaks XEmbed); a right click opens the menu there.
TEST(AppDelegate, TrayIconOpensItsMenuOnARightClick) {
    UiRig rig;
    rig.storeProfile();
    rig.launch();
    QSystemTrayIcon* icon = rig.delegate->statusItem();
    ASSERT_TRUE(rig.waitFor(
        [&] { return QSystemTrayIcon::isSystemTrayAvailable() && icon->geometry().width() > 0; }, 5.0));
    // The icon may still move as it is embedded: click where it is now until the menu opens.
    bool opened = false;
    for (int attempt = 0; attempt < 10 && !opened; ++attempt) {
        click(icon->geometry().center(), 3);
        opened = rig.waitFor([&] { return rig.delegate->menu()->isVisible(); }, 1.0);
    }
    ASSERT_TRUE(opened);
    saveScreenshot(rig.delegate->menu()->grab(), "tray-menu");
    EXPECT_EQ(rig.delegate->menu()->actions().front()->text(), "Starting camera…");
    rig.delegate->menu()->hide();
}
