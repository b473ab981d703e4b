#include "platform/X11Thread.h"

#include <X11/Xlib.h>
#include <algorithm>
#include <cstdio>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

namespace orvane {

bool recordXError(Display* display, int code);

namespace {

thread_local X11ErrorTrap* innermostTrap = nullptr;

int handleXError(Display* display, XErrorEvent* error) {
    if (recordXError(display, error->error_code)) return 0;
    char text[128] = {};
    XGetErrorText(display, error->error_code, text, sizeof text);
    std::fprintf(stderr, "orvane.windows error: X error %s (request %d.%d, resource 0x%lx)\n", text,
                 error->request_code, error->minor_code, error->resourceid);
    return 0;
}

// The connection is gone (the X server ended): stay alive, the calls on it just fail from now on.
void keepRunningAfterIOError(Display*, void* broken) {
    static_cast<std::atomic<bool>*>(broken)->store(true);
}

} // namespace

bool recordXError(Display* display, int code) {
    for (X11ErrorTrap* trap = innermostTrap; trap; trap = trap->outer_)
        if (trap->display_ == display) {
            trap->error_ = code;
            return true;
        }
    return false;
}

void X11ErrorTrap::installHandler() {
    static std::once_flag once;
    std::call_once(once, [] { XSetErrorHandler(handleXError); });
}

X11ErrorTrap::X11ErrorTrap(Display* display) : display_(display), outer_(innermostTrap) {
    installHandler();
    innermostTrap = this;
}

X11ErrorTrap::~X11ErrorTrap() {
    if (display_) XSync(display_, False);
    innermostTrap = outer_;
}

bool X11ErrorTrap::failed() {
    if (display_) XSync(display_, False);
    return error_.has_value();
}

X11Thread::X11Thread(std::string name, std::string displayName) : name_(std::move(name)) {
    X11ErrorTrap::installHandler();
    wakeFd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    // Opened here, used only on the thread from its start on.
    display_ = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (display_) XSetIOErrorExitHandler(display_, keepRunningAfterIOError, &broken_);
    thread_ = std::thread([this] {
        pthread_setname_np(pthread_self(), name_.substr(0, 15).c_str());
        run();
    });
}

X11Thread::~X11Thread() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake();
    thread_.join();
    close(wakeFd_);
}

void X11Thread::perform(Task task) {
    {
        std::lock_guard lock(mutex_);
        tasks_.push_back(std::move(task));
    }
    wake();
}

void X11Thread::performAfter(double seconds, Task task) {
    auto due =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    {
        std::lock_guard lock(mutex_);
        timers_.emplace(due, std::move(task));
    }
    wake();
}

void X11Thread::sync() {
    call([] {});
}

X11Thread::HandlerID X11Thread::addEventHandler(EventHandler handler) {
    HandlerID id = nextHandler_++;
    auto shared = std::make_shared<EventHandler>(std::move(handler));
    if (isCurrent())
        handlers_.emplace_back(id, std::move(shared));
    else
        perform([this, id, shared] { handlers_.emplace_back(id, shared); });
    return id;
}

void X11Thread::removeEventHandler(HandlerID id) {
    auto remove = [this, id] {
        std::erase_if(handlers_, [id](const auto& entry) { return entry.first == id; });
    };
    if (isCurrent())
        remove();
    else
        call(remove);
}

void X11Thread::addRootEventMask(long mask) {
    if (!display_) return;
    Window root = DefaultRootWindow(display_);
    XWindowAttributes attributes;
    long current = XGetWindowAttributes(display_, root, &attributes) ? attributes.your_event_mask : 0;
    if ((current | mask) != current) XSelectInput(display_, root, current | mask);
}

void X11Thread::wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] auto written = write(wakeFd_, &one, sizeof one);
}

void X11Thread::runTasks() {
    std::vector<Task> ready;
    {
        std::lock_guard lock(mutex_);
        auto now = Clock::now();
        while (!timers_.empty() && timers_.begin()->first <= now) {
            tasks_.push_back(std::move(timers_.begin()->second));
            timers_.erase(timers_.begin());
        }
        ready.swap(tasks_);
    }
    for (auto& task : ready)
        task();
}

void X11Thread::dispatchEvents() {
    if (!display_ || broken_) return;
    // XPending also flushes the requests the tasks made and reads what the server sent meanwhile.
    while (!broken_ && XPending(display_) > 0) {
        XEvent event;
        XNextEvent(display_, &event);
        bool withData = XGetEventData(display_, &event.xcookie);
        // A handler may add or remove handlers: walk a copy.
        auto handlers = handlers_;
        for (auto& [id, handler] : handlers)
            if ((*handler)(event)) break;
        if (withData) XFreeEventData(display_, &event.xcookie);
    }
}

void X11Thread::run() {
    for (;;) {
        runTasks();
        dispatchEvents();

        int timeout = -1;
        {
            std::lock_guard lock(mutex_);
            if (stopping_ && tasks_.empty()) break;
            if (!tasks_.empty()) continue;
            if (!timers_.empty()) {
                auto wait =
                    std::chrono::ceil<std::chrono::milliseconds>(timers_.begin()->first - Clock::now());
                timeout = static_cast<int>(std::max<std::int64_t>(wait.count(), 0));
            }
        }
        // Events already read into Xlib's queue would not wake poll.
        if (display_ && !broken_ && XQLength(display_) > 0) continue;

        pollfd fds[2] = {{wakeFd_, POLLIN, 0}, {-1, POLLIN, 0}};
        if (display_ && !broken_) fds[1].fd = ConnectionNumber(display_);
        poll(fds, 2, timeout);
        std::uint64_t count;
        [[maybe_unused]] auto drained = read(wakeFd_, &count, sizeof count);
    }
    if (display_) XCloseDisplay(display_);
    display_ = nullptr;
}

} // namespace orvane
