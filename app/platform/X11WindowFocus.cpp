#include "platform/X11WindowFocus.h"

#include "platform/WindowProperties.h"
#include "platform/X11Thread.h"

#include <unistd.h>

namespace orvane {

X11WindowFocus::X11WindowFocus(X11Thread& thread, Log& log, const Clock& clock)
    : thread_(thread), tracker_(thread, log, static_cast<std::int32_t>(getpid())),
      controller_(thread, log, clock) {
    tracker_.onFocusedDisplayChange = [this](const std::string& screenID) {
        if (onFocusedDisplayChange) onFocusedDisplayChange(screenID);
    };
}

X11WindowFocus::~X11WindowFocus() {
    if (thread_.isCurrent())
        alive_.reset();
    else
        thread_.call([this] { alive_.reset(); });
}

void X11WindowFocus::start() {
    tracker_.start();
}

void X11WindowFocus::updateDisplays(std::vector<DisplayInfo> displays) {
    tracker_.updateDisplays(std::move(displays));
}

void X11WindowFocus::switchTo(DisplayInfo display, std::vector<DisplayInfo> displays, bool movePointer,
                              std::function<void(FocusOutcome)> completion) {
    thread_.perform([this, alive = std::weak_ptr(alive_), display = std::move(display),
                     displays = std::move(displays), movePointer, completion = std::move(completion)] {
        if (alive.expired()) return;
        auto window = tracker_.bestWindow(display);
        std::string app = "-";
        if (window && thread_.display())
            app = x11::windowClass(thread_.display(), window->windowID).value_or("-");
        std::optional<Rect> frame;
        if (window) frame = window->frame;
        controller_.focus(window, display, displays, movePointer,
                          [completion, app, frame](FocusMethod method, bool ok) {
                              completion({method, ok, app, frame});
                          });
    });
}

} // namespace orvane
