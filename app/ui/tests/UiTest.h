#pragma once

// The program's user interface over fake desktop services in virtual time (the engine and the windows are
// real), screenshots of windows, and child runs of this test program on other desktops.

#include "FakePlatform.h"
#include "ui/AppDelegate.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QPixmap>
#include <QThread>
#include <cmath>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace orvane::test {

// This run is a child started by another test (UiTestMain starts no desktop then).
inline bool isChild() {
    return std::getenv("ORVANE_UI_TEST_CHILD") != nullptr;
}

// Runs this program again with one test and extra environment; true when the child's tests passed.
inline bool runChild(const std::string& test, const std::string& environment) {
    char self[4096];
    const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return false;
    self[n] = 0;
    const std::string command = "env ORVANE_UI_TEST_CHILD=1 " + environment + " '" + std::string(self) +
                                "' --gtest_filter='" + test + "' --gtest_brief=1";
    return std::system(command.c_str()) == 0;
}

// A click of the mouse button on the screen, as a user's (XTest); the exit status of xdotool.
inline int click(QPoint at, int button) {
    return std::system(("xdotool mousemove " + std::to_string(at.x()) + " " + std::to_string(at.y()) +
                        " click " + std::to_string(button))
                           .c_str());
}

// Screenshots of windows in defined states go under the build folder, to be looked at (not committed).
inline void saveScreenshot(const QPixmap& pixmap, const std::string& name) {
    QDir().mkpath(ORVANE_BINARY_DIR "/screenshots");
    pixmap.save(QString::fromStdString(ORVANE_BINARY_DIR "/screenshots/" + name + ".png"));
}

// The hot key is the whole program's test.
struct FakeHotKeys : HotKeys {
    bool registerHotKey(std::function<void()>) override { return true; }
    void unregisterHotKey() override {}
};

struct FakeAutostart : Autostart {
    bool registered = false, fails = false;
    bool isRegistered() override { return registered; }
    bool setRegistered(bool value) override {
        if (!fails) registered = value;
        return !fails;
    }
};

// The program's user interface on fake desktop services in virtual time.
struct UiRig : FakeServices {
    FakeHotKeys hotKeys;
    FakeAutostart autostart;
    std::unique_ptr<AppDelegate> delegate;

    ~UiRig() {
        delegate.reset();
        QApplication::processEvents();
    }

    void launch() {
        delegate = std::make_unique<AppDelegate>(AppServices{services(), hotKeys, autostart});
        delegate->launch();
        settle();
    }
    Engine& engine() { return *delegate->engine(); }
    // Waits in real time for the condition (none: the whole time), running what is due and Qt's events.
    bool waitFor(const std::function<bool()>& condition, double seconds) {
        QElapsedTimer timer;
        for (timer.start(); timer.elapsed() < seconds * 1000; QThread::msleep(10)) {
            settle();
            if (condition && condition()) return true;
        }
        return false;
    }
    void pause(double seconds) { waitFor(nullptr, seconds); }
    // Runs what is due in virtual time and what Qt has queued, until both are quiet.
    void settle() {
        for (int i = 0; i < 20; ++i) {
            scheduler.runDue();
            QApplication::processEvents();
        }
    }
    // Virtual time passes with the camera delivering a frame every 1/15 s showing `face` (none: no face).
    void track(double seconds, std::optional<DetectedFace> face = FakeFaceDetector::facing(0)) {
        detector.faces = face ? std::vector<DetectedFace>{*face} : std::vector<DetectedFace>{};
        for (double t = 0; t < seconds; t += 1.0 / 15) {
            camera.deliverFrame();
            scheduler.advance(1.0 / 15);
            settle();
        }
    }
};

} // namespace orvane::test
