#pragma once

#include "engine/Platform.h"
#include "platform/FocusController.h"
#include "platform/WindowTracker.h"

#include <memory>

namespace orvane {

class X11Thread;

// The engine's window focus on X11: the window tracker picks the window, the focus controller moves focus and
// pointer, both on the X11 thread.
class X11WindowFocus : public WindowFocus {
  public:
    X11WindowFocus(X11Thread& thread, Log& log, const Clock& clock);
    // Call before the thread ends; a switch in flight then reports nothing.
    ~X11WindowFocus() override;

    void start() override;
    void updateDisplays(std::vector<DisplayInfo> displays) override;
    // From any thread; the work and the completion run on the X11 thread.
    void switchTo(DisplayInfo display, std::vector<DisplayInfo> displays, bool movePointer,
                  std::function<void(FocusOutcome)> completion) override;
    double lastWarp() const override { return controller_.lastWarp(); }

    // For tests and diagnostics, on the X11 thread.
    WindowTracker& tracker() { return tracker_; }
    FocusController& controller() { return controller_; }

  private:
    X11Thread& thread_;
    WindowTracker tracker_;
    FocusController controller_;
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace orvane
