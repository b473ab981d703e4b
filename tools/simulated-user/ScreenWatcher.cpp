#include "simulated-user/ScreenWatcher.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sys/ipc.h>
#include <sys/shm.h>
#include <unistd.h>

namespace orvane::simulated {

// One monitor's screenshot buffer.
struct ScreenWatcher::Shot {
    XImage* image = nullptr;
    XShmSegmentInfo segment{};
    bool attached = false;
    Display* display = nullptr;

    ~Shot() {
        if (attached) XShmDetach(display, &segment);
        if (image) XDestroyImage(image);
        if (segment.shmaddr) shmdt(segment.shmaddr);
    }
};

namespace {

// A request that failed (a monitor beyond the root window, say) fails its call; Xlib's default handler
// would end the program.
int ignoreError(Display*, XErrorEvent*) {
    return 0;
}

// The desktop went away: nothing left to look at or to stream for. Xlib allows no return from here.
int displayLost(Display*) {
    std::fprintf(stderr, "orvane-simulated-user: the display has gone; ending\n");
    std::fflush(stdout);
    _exit(1);
}

} // namespace

ScreenWatcher::ScreenWatcher(const std::string& display) {
    XSetErrorHandler(ignoreError);
    XSetIOErrorHandler(displayLost);
    display_ = XOpenDisplay(display.empty() ? nullptr : display.c_str());
    if (!display_) return;
    int count = 0;
    if (XRRMonitorInfo* list = XRRGetMonitors(display_, DefaultRootWindow(display_), True, &count)) {
        for (int i = 0; i < count; ++i) {
            const XRRMonitorInfo& m = list[i];
            char* name = XGetAtomName(display_, m.name);
            const double width = m.mwidth > 0 ? m.mwidth : m.width * 0.265;
            const double height = m.mheight > 0 ? m.mheight : m.height * 0.265;
            monitors_.push_back({name ? name : "", cv::Rect2d(m.x, m.y, m.width, m.height), {width, height}});
            if (name) XFree(name);
        }
        XRRFreeMonitors(list);
    }
    shared_ = XShmQueryExtension(display_);
}

ScreenWatcher::~ScreenWatcher() {
    stop();
    shots_.clear();
    if (display_) XCloseDisplay(display_);
}

std::vector<cv::Mat> ScreenWatcher::screenshots() {
    std::vector<cv::Mat> result;
    if (!display_) return result;
    const Window root = DefaultRootWindow(display_);
    const int screen = DefaultScreen(display_);
    Visual* visual = DefaultVisual(display_, screen);
    const int depth = DefaultDepth(display_, screen);
    shots_.resize(monitors_.size());
    for (std::size_t i = 0; i < monitors_.size(); ++i) {
        const cv::Rect area = monitors_[i].pixels;
        auto& shot = shots_[i];
        if (shared_ && !shot) {
            shot = std::make_unique<Shot>();
            shot->display = display_;
            shot->image = XShmCreateImage(display_, visual, unsigned(depth), ZPixmap, nullptr, &shot->segment,
                                          unsigned(area.width), unsigned(area.height));
            if (shot->image) {
                shot->segment.shmid =
                    shmget(IPC_PRIVATE, std::size_t(shot->image->bytes_per_line) * shot->image->height,
                           IPC_CREAT | 0600);
                if (shot->segment.shmid >= 0) {
                    shot->segment.shmaddr = shot->image->data =
                        static_cast<char*>(shmat(shot->segment.shmid, nullptr, 0));
                    shot->segment.readOnly = False;
                    shot->attached = XShmAttach(display_, &shot->segment);
                    XSync(display_, False);
                    shmctl(shot->segment.shmid, IPC_RMID, nullptr); // freed once both sides detach
                }
            }
            if (!shot->attached) {
                std::fprintf(stderr,
                             "orvane-simulated-user: no shared-memory screenshots; reading them plainly\n");
                shared_ = false;
                shot.reset();
            }
        }
        if (shared_ && shot) {
            if (!XShmGetImage(display_, root, shot->image, area.x, area.y, AllPlanes)) return {};
        } else {
            shot = std::make_unique<Shot>();
            shot->image = XGetImage(display_, root, area.x, area.y, unsigned(area.width),
                                    unsigned(area.height), AllPlanes, ZPixmap);
            if (!shot->image) return {};
        }
        // Only 32-bit pixels with the usual masks read as BGRA.
        if (shot->image->bits_per_pixel != 32 || shot->image->red_mask != 0xff0000) return {};
        result.emplace_back(area.height, area.width, CV_8UC4, shot->image->data,
                            std::size_t(shot->image->bytes_per_line));
    }
    return result;
}

bool ScreenWatcher::everyMonitorCovered() {
    if (!display_ || monitors_.empty()) return false;
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display_, DefaultRootWindow(display_), &root, &parent, &children, &count)) return false;
    std::vector<cv::Rect> shown;
    for (unsigned i = 0; i < count; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(display_, children[i], &a) && a.map_state == IsViewable &&
            a.c_class == InputOutput)
            shown.emplace_back(a.x, a.y, a.width + 2 * a.border_width, a.height + 2 * a.border_width);
    }
    if (children) XFree(children);
    return std::all_of(monitors_.begin(), monitors_.end(), [&](const Monitor& m) {
        const cv::Rect area = m.pixels;
        return std::any_of(shown.begin(), shown.end(), [&](const cv::Rect& r) { return (r & area) == area; });
    });
}

void ScreenWatcher::watch(std::function<void(const CalibrationView&)> changed) {
    if (!display_ || thread_.joinable()) return;
    stopping_ = false;
    thread_ = std::thread([this, changed = std::move(changed)] {
        std::optional<CalibrationView> last;
        std::unique_lock lock(mutex_);
        while (!stopping_) {
            lock.unlock();
            // Screenshots only while something covers every monitor, as the calibration windows do; a
            // mostly black desktop with a bright tray icon or a light window on it is no calibration.
            const CalibrationView view =
                everyMonitorCovered() ? readCalibration(monitors_, screenshots()) : CalibrationView{};
            if (view != last) changed(view);
            last = view;
            lock.lock();
            const double interval = view.running ? calibrationInterval : idleInterval;
            wake_.wait_for(lock, std::chrono::duration<double>(interval), [this] { return stopping_; });
        }
    });
}

void ScreenWatcher::stop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
}

} // namespace orvane::simulated
