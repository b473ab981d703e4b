#include "platform/WindowProperties.h"

#include "platform/X11Thread.h"

#include <X11/Xatom.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xutil.h>
#include <X11/extensions/XRes.h>
#include <cstdlib>
#include <memory>
#include <xcb/xcb.h>

namespace orvane::x11 {

namespace {

// xcb hands replies over as malloc'ed memory; errors of a request come back with its reply, so a vanished
// window is simply a missing reply here.
template <typename T> using Reply = std::unique_ptr<T, decltype(&std::free)>;

// The error by reference: it is read only after the reply call beside it has set it.
template <typename T> Reply<T> take(T* reply, xcb_generic_error_t*& error) {
    std::free(error);
    error = nullptr;
    return Reply<T>(reply, &std::free);
}

Reply<xcb_get_property_reply_t> property(xcb_connection_t* c, xcb_get_property_cookie_t cookie) {
    xcb_generic_error_t* error = nullptr;
    auto* reply = xcb_get_property_reply(c, cookie, &error);
    return take(reply, error);
}

xcb_get_property_cookie_t askProperty(xcb_connection_t* c, Window window, Atom name, Atom type,
                                      std::uint32_t length) {
    return xcb_get_property(c, 0, static_cast<xcb_window_t>(window), static_cast<xcb_atom_t>(name),
                            static_cast<xcb_atom_t>(type), 0, length);
}

// The 32-bit values of a property reply of the given type; empty when missing or of another kind.
std::vector<std::uint32_t> values32(const xcb_get_property_reply_t* reply, Atom type) {
    if (!reply || reply->format != 32 || reply->type != type) return {};
    auto* data = static_cast<const std::uint32_t*>(xcb_get_property_value(reply));
    int count = xcb_get_property_value_length(reply) / 4;
    return {data, data + count};
}

std::optional<std::uint32_t> first32(const xcb_get_property_reply_t* reply, Atom type) {
    auto values = values32(reply, type);
    if (values.empty()) return std::nullopt;
    return values.front();
}

std::vector<std::uint32_t> readValues(Display* display, Window window, Atom name, Atom type,
                                      std::uint32_t length) {
    xcb_connection_t* c = XGetXCBConnection(display);
    auto reply = property(c, askProperty(c, window, name, type, length));
    return values32(reply.get(), type);
}

std::optional<std::int32_t> clientPid(Display* display, Window window) {
    XResClientIdSpec clientIdSpec{window, XRES_CLIENT_ID_PID_MASK};
    long count = 0;
    XResClientIdValue* values = nullptr;
    X11ErrorTrap trap(display);
    std::optional<std::int32_t> pid;
    if (XResQueryClientIds(display, 1, &clientIdSpec, &count, &values) == Success) {
        for (long i = 0; i < count && !pid; ++i) {
            pid_t found = XResGetClientPid(&values[i]);
            if (found > 0) pid = found;
        }
        XResClientIdsDestroy(count, values);
    }
    return pid;
}

std::optional<Rect> frameFrom(const xcb_get_geometry_reply_t* geometry,
                              const xcb_translate_coordinates_reply_t* origin,
                              const std::vector<std::uint32_t>& extents) {
    if (!geometry || !origin) return std::nullopt;
    // left, right, top, bottom; a window manager that does not decorate sets none.
    double left = 0, right = 0, top = 0, bottom = 0;
    if (extents.size() == 4) left = extents[0], right = extents[1], top = extents[2], bottom = extents[3];
    return Rect{origin->dst_x - left, origin->dst_y - top, geometry->width + left + right,
                geometry->height + top + bottom};
}

} // namespace

Atoms::Atoms(Display* display) {
    const char* names[] = {"_NET_SUPPORTED",
                           "_NET_ACTIVE_WINDOW",
                           "_NET_CLIENT_LIST",
                           "_NET_CLIENT_LIST_STACKING",
                           "_NET_CURRENT_DESKTOP",
                           "_NET_WM_PID",
                           "_NET_WM_DESKTOP",
                           "_NET_WM_STATE",
                           "_NET_WM_STATE_HIDDEN",
                           "_NET_WM_STATE_STICKY",
                           "_NET_WM_WINDOW_TYPE",
                           "_NET_WM_WINDOW_TYPE_NORMAL",
                           "_NET_WM_WINDOW_TYPE_DIALOG",
                           "_NET_WM_WINDOW_OPACITY",
                           "_NET_FRAME_EXTENTS",
                           "WM_STATE",
                           "WM_PROTOCOLS",
                           "WM_TAKE_FOCUS",
                           "_ORVANE_TIMESTAMP"};
    Atom* fields[] = {&netSupported,          &netActiveWindow,    &netClientList,   &netClientListStacking,
                      &netCurrentDesktop,     &netWmPid,           &netWmDesktop,    &netWmState,
                      &netWmStateHidden,      &netWmStateSticky,   &netWmWindowType, &netWmWindowTypeNormal,
                      &netWmWindowTypeDialog, &netWmWindowOpacity, &netFrameExtents, &wmState,
                      &wmProtocols,           &wmTakeFocus,        &timestamp};
    constexpr int count = static_cast<int>(std::size(names));
    Atom atoms[count] = {};
    XInternAtoms(display, const_cast<char**>(names), count, False, atoms);
    for (int i = 0; i < count; ++i)
        *fields[i] = atoms[i];
}

std::vector<WindowFacts> describeWindows(Display* display, const Atoms& atoms,
                                         const std::vector<Window>& windows) {
    xcb_connection_t* c = XGetXCBConnection(display);
    const auto root = static_cast<xcb_window_t>(DefaultRootWindow(display));
    struct Asked {
        xcb_get_window_attributes_cookie_t attributes;
        xcb_get_geometry_cookie_t geometry;
        xcb_translate_coordinates_cookie_t origin;
        xcb_get_property_cookie_t type, state, desktop, pid, opacity, extents;
    };
    std::vector<Asked> asked;
    asked.reserve(windows.size());
    for (Window window : windows) {
        auto w = static_cast<xcb_window_t>(window);
        asked.push_back({xcb_get_window_attributes(c, w), xcb_get_geometry(c, w),
                         xcb_translate_coordinates(c, w, root, 0, 0),
                         askProperty(c, window, atoms.netWmWindowType, XA_ATOM, 1),
                         askProperty(c, window, atoms.netWmState, XA_ATOM, 64),
                         askProperty(c, window, atoms.netWmDesktop, XA_CARDINAL, 1),
                         askProperty(c, window, atoms.netWmPid, XA_CARDINAL, 1),
                         askProperty(c, window, atoms.netWmWindowOpacity, XA_CARDINAL, 1),
                         askProperty(c, window, atoms.netFrameExtents, XA_CARDINAL, 4)});
    }

    std::vector<WindowFacts> facts;
    facts.reserve(windows.size());
    for (std::size_t i = 0; i < windows.size(); ++i) {
        const Asked& a = asked[i];
        WindowFacts f;
        f.window = windows[i];
        xcb_generic_error_t* error = nullptr;
        auto attributes = take(xcb_get_window_attributes_reply(c, a.attributes, &error), error);
        error = nullptr;
        auto geometry = take(xcb_get_geometry_reply(c, a.geometry, &error), error);
        error = nullptr;
        auto origin = take(xcb_translate_coordinates_reply(c, a.origin, &error), error);
        auto type = property(c, a.type);
        auto state = property(c, a.state);
        auto desktop = property(c, a.desktop);
        auto pid = property(c, a.pid);
        auto opacity = property(c, a.opacity);
        auto extents = property(c, a.extents);

        f.viewable = attributes && attributes->map_state == XCB_MAP_STATE_VIEWABLE;
        f.type = first32(type.get(), XA_ATOM);
        for (std::uint32_t s : values32(state.get(), XA_ATOM)) {
            if (s == atoms.netWmStateHidden) f.hidden = true;
            if (s == atoms.netWmStateSticky) f.sticky = true;
        }
        f.desktop = first32(desktop.get(), XA_CARDINAL);
        if (auto value = first32(pid.get(), XA_CARDINAL); value && *value > 0)
            f.pid = static_cast<std::int32_t>(*value);
        if (auto value = first32(opacity.get(), XA_CARDINAL)) f.opacity = *value / double(0xFFFFFFFFu);
        f.frame = frameFrom(geometry.get(), origin.get(), values32(extents.get(), XA_CARDINAL));
        facts.push_back(f);
    }
    // Rare: a client that does not name its process; ask the server which client owns the window.
    for (auto& f : facts)
        if (!f.pid && f.frame) f.pid = clientPid(display, f.window);
    return facts;
}

std::vector<Window> stackingOrder(Display* display, const Atoms& atoms) {
    Window root = DefaultRootWindow(display);
    auto list = readValues(display, root, atoms.netClientListStacking, XA_WINDOW, 4096);
    if (list.empty()) list = readValues(display, root, atoms.netClientList, XA_WINDOW, 4096);
    return {list.begin(), list.end()};
}

std::optional<std::uint32_t> currentDesktop(Display* display, const Atoms& atoms) {
    auto value = cardinalProperty(display, DefaultRootWindow(display), atoms.netCurrentDesktop, XA_CARDINAL);
    if (!value) return std::nullopt;
    return static_cast<std::uint32_t>(*value);
}

std::optional<Window> activeWindow(Display* display, const Atoms& atoms) {
    auto value = cardinalProperty(display, DefaultRootWindow(display), atoms.netActiveWindow, XA_WINDOW);
    if (!value || *value == 0) return std::nullopt;
    return static_cast<Window>(*value);
}

bool supportsActiveWindow(Display* display, const Atoms& atoms) {
    for (std::uint32_t atom :
         readValues(display, DefaultRootWindow(display), atoms.netSupported, XA_ATOM, 1024))
        if (atom == atoms.netActiveWindow) return true;
    return false;
}

std::optional<std::int32_t> windowPid(Display* display, const Atoms& atoms, Window window) {
    if (auto value = cardinalProperty(display, window, atoms.netWmPid, XA_CARDINAL); value && *value > 0)
        return static_cast<std::int32_t>(*value);
    return clientPid(display, window);
}

std::optional<std::string> windowClass(Display* display, Window window) {
    xcb_connection_t* c = XGetXCBConnection(display);
    auto reply = property(c, askProperty(c, window, XA_WM_CLASS, XA_STRING, 256));
    if (!reply || reply->format != 8) return std::nullopt;
    // "instance\0class\0"
    std::string text(static_cast<const char*>(xcb_get_property_value(reply.get())),
                     static_cast<std::size_t>(xcb_get_property_value_length(reply.get())));
    auto split = text.find('\0');
    if (split == std::string::npos) return std::nullopt;
    std::string name = text.substr(split + 1);
    if (auto end = name.find('\0'); end != std::string::npos) name.resize(end);
    if (name.empty()) return std::nullopt;
    return name;
}

std::optional<Rect> windowFrame(Display* display, const Atoms& atoms, Window window) {
    xcb_connection_t* c = XGetXCBConnection(display);
    auto w = static_cast<xcb_window_t>(window);
    auto geometryCookie = xcb_get_geometry(c, w);
    auto originCookie =
        xcb_translate_coordinates(c, w, static_cast<xcb_window_t>(DefaultRootWindow(display)), 0, 0);
    auto extentsCookie = askProperty(c, window, atoms.netFrameExtents, XA_CARDINAL, 4);
    xcb_generic_error_t* error = nullptr;
    auto geometry = take(xcb_get_geometry_reply(c, geometryCookie, &error), error);
    error = nullptr;
    auto origin = take(xcb_translate_coordinates_reply(c, originCookie, &error), error);
    auto extents = property(c, extentsCookie);
    return frameFrom(geometry.get(), origin.get(), values32(extents.get(), XA_CARDINAL));
}

std::optional<Window> topLevelFrame(Display* display, Window window) {
    xcb_connection_t* c = XGetXCBConnection(display);
    const Window root = DefaultRootWindow(display);
    // Reparenting window managers nest a client one or two levels deep; the bound guards against loops.
    for (int depth = 0; depth < 16; ++depth) {
        xcb_generic_error_t* error = nullptr;
        auto tree = take(
            xcb_query_tree_reply(c, xcb_query_tree(c, static_cast<xcb_window_t>(window)), &error), error);
        if (!tree) return std::nullopt;
        if (tree->parent == root || tree->parent == XCB_NONE) return window;
        window = tree->parent;
    }
    return std::nullopt;
}

bool acceptsInputFocus(Display* display, Window window) {
    // WM_HINTS: flags, input, ...; InputHint is bit 0 of the flags.
    auto hints = readValues(display, window, XA_WM_HINTS, XA_WM_HINTS, 2);
    if (hints.size() < 2 || !(hints[0] & InputHint)) return true;
    return hints[1] != 0;
}

bool supportsProtocol(Display* display, const Atoms& atoms, Window window, Atom protocol) {
    for (std::uint32_t atom : readValues(display, window, atoms.wmProtocols, XA_ATOM, 64))
        if (atom == protocol) return true;
    return false;
}

std::optional<unsigned long> cardinalProperty(Display* display, Window window, Atom property, Atom type) {
    auto values = readValues(display, window, property, type, 1);
    if (values.empty()) return std::nullopt;
    return values.front();
}

} // namespace orvane::x11
