// orvane: the tray program. Moves keyboard focus to the monitor the user looks at.

#include "engine/Migration.h"
#include "engine/Paths.h"
#include "engine/ProfileStore.h"
#include "platform/LinuxPlatform.h"
#include "platform/QtDefaultsStore.h"
#include "ui/AppDelegate.h"
#include "ui/CalibrationMap.h"
#include "ui/ExitSignals.h"
#include "ui/OnboardingView.h"
#include "ui/QtAppWindows.h"
#include "ui/QtMainQueue.h"
#include "ui/SingleInstance.h"
#include "ui/Symbols.h"

#include <QApplication>
#include <QDir>
#include <QGuiApplication>
#include <QLibraryInfo>
#include <QLocale>
#include <QTranslator>
#include <X11/Xlib.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

using namespace orvane;

namespace {

const char* const usage = "Usage: orvane [--help | --version | --calibration-map FILE.png|FILE.svg]\n";

const char* const help =
    "Usage: orvane [--help | --version | --calibration-map FILE.png|FILE.svg]\n"
    "\n"
    "Orvane watches your head through the webcam and moves keyboard focus to the monitor you look at,\n"
    "into the window you last worked in there. It lives in the system tray: calibrate from its menu,\n"
    "pause and resume with Ctrl+Alt+Super+G. Starting it again opens its settings.\n"
    "Camera frames are analysed in memory and dropped at once; no image is ever stored or sent.\n"
    "\n"
    "  --help                   show this help and exit\n"
    "  --version                show the version and exit\n"
    "  --calibration-map FILE   draw the calibration of the current monitors (where each lies for the\n"
    "                           camera, and the samples it learned from) into FILE.png or FILE.svg, and "
    "exit\n";

std::string readWhole(const std::filesystem::path& file) {
    std::ostringstream text;
    text << std::ifstream(file, std::ios::binary).rdbuf();
    return text.str();
}

// Qt and our X11 code must see the same screens: both go through the X server (XWayland in a Wayland
// session). Without one there is nothing Orvane can do.
bool xDisplayReachable() {
    const char* name = std::getenv("DISPLAY");
    if (!name || !*name) return false;
    Display* display = XOpenDisplay(name);
    if (!display) return false;
    XCloseDisplay(display);
    return true;
}

// The profile a map is drawn for: the one of the monitors attached now when an X display tells which they
// are, else the one saved last (a support request may come from a machine without its desktop).
std::optional<CalibrationProfile> currentProfile(const Paths& paths, Log& log) {
    ProfileStore store(paths.profiles(), log);
    if (const char* name = std::getenv("DISPLAY"); name && *name)
        if (Display* display = XOpenDisplay(name)) {
            const auto displays = readDisplays(display);
            XCloseDisplay(display);
            std::vector<std::string> ids;
            for (const auto& d : displays)
                ids.push_back(d.uuid);
            if (ids.size() >= 2) return store.load(CalibrationProfile::key(ids));
        }
    std::optional<CalibrationProfile> newest;
    std::filesystem::file_time_type newestTime;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(paths.profiles(), error)) {
        if (entry.path().extension() != ".json") continue;
        const auto time = entry.last_write_time(error);
        if (error || (newest && time <= newestTime)) continue;
        auto decoded = decodeProfile(readWhole(entry.path()));
        if (decoded.value) newest = std::move(decoded.value), newestTime = time;
    }
    return newest;
}

int writeCalibrationMap(int argc, char** argv, const std::string& file) {
    const auto paths = Paths::fromEnvironment();
    StderrLog log;
    const auto profile = paths ? currentProfile(*paths, log) : std::nullopt;
    if (!profile) {
        std::fprintf(stderr, "orvane: no calibration to draw yet: calibrate from Orvane's menu first.\n");
        return 1;
    }
    // Drawn off screen: no window opens, and no X display is needed.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const auto model =
        ScreenModel::train(profile->allSamples(), profile->screenIDs(), ScreenModel::Configuration{});
    QString error;
    if (!CalibrationMap::build(*profile, model).write(QString::fromStdString(file), error)) {
        std::fprintf(stderr, "orvane: %s\n", qPrintable(error));
        return 1;
    }
    std::printf("orvane: wrote %s\n", file.c_str());
    return 0;
}

// The former product's preferences and profiles come over once, before anything reads the settings.
void migrate(const Paths& paths) {
    QtDefaultsStore defaults(paths.defaultsFile());
    std::optional<QtDefaultsStore> former;
    std::error_code error;
    if (std::filesystem::exists(paths.formerDefaultsFile(), error))
        former.emplace(paths.formerDefaultsFile());
    Migration::run(defaults, former ? &*former : nullptr, paths.formerProfiles(), paths.profiles());
}

// Translations of our texts, where one exists for the user's language: share/orvane/translations.
void installTranslations(QApplication& app) {
    static QTranslator ours;
    const QString folder = QCoreApplication::applicationDirPath() + "/../share/orvane/translations";
    if (ours.load(QLocale(), "orvane", "_", folder)) app.installTranslator(&ours);
}

} // namespace

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--calibration-map") == 0) {
            const std::string file = i + 1 < argc ? argv[i + 1] : "";
            const std::string suffix = std::filesystem::path(file).extension().string();
            if (suffix != ".png" && suffix != ".svg") {
                std::fprintf(stderr, "orvane: --calibration-map needs a file name ending in .png or .svg\n%s",
                             usage);
                return 2;
            }
            return writeCalibrationMap(argc, argv, file);
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            // And where the face model is: what a support request needs to know first.
            const auto model = BlazeFaceDetector::findModel();
            std::error_code error;
            std::printf("orvane %s\nface model: %s%s\n", ORVANE_VERSION, model.c_str(),
                        std::filesystem::is_regular_file(model, error) ? "" : " (missing)");
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::fputs(help, stdout);
            return 0;
        }
        std::fprintf(stderr, "orvane: unknown option '%s'\n%s", argv[i], usage);
        return 2;
    }
    if (!xDisplayReachable()) {
        std::fprintf(stderr,
                     "orvane: no X display to run on (DISPLAY=%s); Orvane needs an X11 or XWayland "
                     "desktop session.\n",
                     std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "");
        return 1;
    }
    const auto paths = Paths::fromEnvironment();
    if (!paths) {
        std::fprintf(stderr, "orvane: cannot find your home folder to keep settings and calibrations in.\n");
        return 1;
    }
    migrate(*paths);

    qputenv("QT_QPA_PLATFORM", "xcb");
    QApplication app(argc, argv);
    QApplication::setApplicationName("Orvane");
    QApplication::setOrganizationName("Orvane");
    QApplication::setApplicationVersion(ORVANE_VERSION);
    QGuiApplication::setDesktopFileName("org.orvane.Orvane");
    QApplication::setWindowIcon(applicationIcon());
    // A tray program: closing its windows never ends it.
    QApplication::setQuitOnLastWindowClosed(false);
    installTranslations(app);

    SingleInstance instance;
    switch (instance.claim()) {
    case SingleInstance::Outcome::first:
        break;
    case SingleInstance::Outcome::askedRunning:
        return 0;
    case SingleInstance::Outcome::failed:
        std::fprintf(stderr, "orvane: another Orvane is running but does not answer.\n");
        return 1;
    }
    ExitSignals exitSignals;

    QtMainQueue main;
    QtAppWindows appWindows;
    LinuxPlatform platform(main, appWindows, *paths);
    AppDelegate delegate(
        AppServices{platform.engineServices(), platform.hotKeys(), platform.autostart(), isWaylandSession()});
    instance.onShowSettings = [&delegate] { delegate.showSettings(); };
    delegate.launch();
    QApplication::exec();
    delegate.terminate();
    return 0;
}
