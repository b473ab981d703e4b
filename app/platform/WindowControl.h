#pragma once

#include <functional>
#include <optional>
#include <string>

namespace orvane {

class X11Thread;

// Whether other programs' windows can be focused: an X11 session whose window manager is alive and
// takes activation requests (_NET_SUPPORTING_WM_CHECK names a live window that confirms itself, and
// _NET_SUPPORTED lists _NET_ACTIVE_WINDOW). A Wayland session never qualifies, even with an X server
// for older programs beside it: its own windows are out of reach. Not from the X11 thread.
// `environment` reads a variable; absent when unset.
bool windowControlAvailable(X11Thread& thread,
                            const std::function<std::optional<std::string>(const char* name)>& environment);
// The same with the process's own environment.
bool windowControlAvailable(X11Thread& thread);

} // namespace orvane
