#include "platform/Displays.h"

#include "platform/X11Thread.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <algorithm>
#include <cstdio>
#include <set>

namespace orvane {

namespace {

// FNV-1a; two differently seeded runs give the 128 bits of the identifier.
std::uint64_t fnv1a(const std::string& text, std::uint64_t seed) {
    std::uint64_t hash = seed;
    for (unsigned char c : text) {
        hash ^= c;
        hash *= 0x100000001b3ull;
    }
    return hash;
}

std::string atomName(Display* display, Atom atom) {
    char* name = XGetAtomName(display, atom);
    if (!name) return {};
    std::string text = name;
    XFree(name);
    return text;
}

std::vector<std::uint8_t> readEdid(Display* display, RROutput output) {
    Atom edidAtom = XInternAtom(display, RR_PROPERTY_RANDR_EDID, True);
    if (edidAtom == None) return {};
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::vector<std::uint8_t> edid;
    if (XRRGetOutputProperty(display, output, edidAtom, 0, 128, False, False, AnyPropertyType, &type, &format,
                             &count, &after, &data) == Success &&
        data && format == 8)
        edid.assign(data, data + count);
    if (data) XFree(data);
    return edid;
}

struct Output {
    std::string connector;
    RRCrtc crtc = None;
    std::vector<std::uint8_t> edid;
};

std::optional<Output> readOutput(Display* display, XRRScreenResources* resources, RROutput output) {
    XRROutputInfo* info = XRRGetOutputInfo(display, resources, output);
    if (!info) return std::nullopt;
    Output result{std::string(info->name, static_cast<std::size_t>(info->nameLen)), info->crtc,
                  readEdid(display, output)};
    XRRFreeOutputInfo(info);
    return result;
}

} // namespace

std::optional<EdidIdentity> parseEdid(const std::vector<std::uint8_t>& edid) {
    static const std::uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    if (edid.size() < 128 || !std::equal(header, header + 8, edid.begin())) return std::nullopt;
    unsigned sum = 0;
    for (std::size_t i = 0; i < 128; ++i)
        sum += edid[i];
    if (sum % 256 != 0) return std::nullopt;

    // Three letters of five bits each, 1 = 'A', big-endian in bytes 8 and 9.
    unsigned packed = (edid[8] << 8) | edid[9];
    std::string manufacturer;
    for (int shift : {10, 5, 0}) {
        unsigned letter = (packed >> shift) & 0x1F;
        if (letter < 1 || letter > 26) return std::nullopt;
        manufacturer += static_cast<char>('A' + letter - 1);
    }
    auto product = static_cast<std::uint16_t>(edid[10] | (edid[11] << 8));
    std::uint32_t serial = edid[12] | (edid[13] << 8) | (edid[14] << 16) | (std::uint32_t(edid[15]) << 24);
    return EdidIdentity{manufacturer, product, serial};
}

std::string displayUUID(const std::optional<EdidIdentity>& edid, const std::string& connector,
                        const std::string& monitorName) {
    std::string key;
    if (edid) {
        key = "edid:" + edid->manufacturer + ":" + std::to_string(edid->product) + ":" +
              std::to_string(edid->serial);
        if (edid->serial == 0) key += ":" + connector;
    } else {
        key = "name:" + monitorName;
    }
    std::uint64_t high = fnv1a(key, 0xcbf29ce484222325ull);
    std::uint64_t low = fnv1a(key, high ^ 0x9e3779b97f4a7c15ull);
    // Marked as a version 8 (custom) UUID of the RFC 4122 variant.
    high = (high & ~0xF000ull) | 0x8000ull;
    low = (low & ~(0xC000ull << 48)) | (0x8000ull << 48);
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%04X-%012llX", static_cast<unsigned>(high >> 32),
                  static_cast<unsigned>((high >> 16) & 0xFFFF), static_cast<unsigned>(high & 0xFFFF),
                  static_cast<unsigned>(low >> 48), static_cast<unsigned long long>(low & 0xFFFFFFFFFFFFull));
    return text;
}

bool isBuiltInConnector(const std::string& connector) {
    for (const char* prefix : {"eDP", "LVDS", "DSI"})
        if (connector.rfind(prefix, 0) == 0) return true;
    return false;
}

std::vector<DisplayInfo> readDisplays(Display* display) {
    std::vector<DisplayInfo> displays;
    if (!display) return displays;
    X11ErrorTrap trap(display);
    const Window root = DefaultRootWindow(display);
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!XRRQueryExtension(display, &eventBase, &errorBase) || !XRRQueryVersion(display, &major, &minor) ||
        major * 100 + minor < 105) {
        // No monitors to ask for: the screen is the one display.
        int screen = DefaultScreen(display);
        displays.push_back(
            {0, displayUUID(std::nullopt, {}, "screen"), "screen",
             Rect{0, 0, double(DisplayWidth(display, screen)), double(DisplayHeight(display, screen))},
             false});
        return displays;
    }

    int count = 0;
    XRRMonitorInfo* monitors = XRRGetMonitors(display, root, True, &count);
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(display, root);
    std::set<RRCrtc> crtcs;
    for (int i = 0; i < count; ++i) {
        const XRRMonitorInfo& m = monitors[i];
        Rect bounds{double(m.x), double(m.y), double(m.width), double(m.height)};
        if (bounds.isEmpty()) continue;
        // The monitor's first output names it; further outputs on the same CRTC show the same picture.
        std::optional<Output> output;
        if (resources && m.noutput > 0) output = readOutput(display, resources, m.outputs[0]);
        // Mirrors: a monitor driven by a CRTC already listed, or showing exactly another's area. The first
        // one (the primary comes first) stays.
        if (output && output->crtc != None && !crtcs.insert(output->crtc).second) continue;
        if (std::any_of(displays.begin(), displays.end(),
                        [&](const DisplayInfo& d) { return d.bounds == bounds; }))
            continue;

        std::string name = atomName(display, m.name);
        std::string connector = output ? output->connector : std::string();
        auto edid = output ? parseEdid(output->edid) : std::nullopt;
        displays.push_back({static_cast<std::uint32_t>(m.name), displayUUID(edid, connector, name), name,
                            bounds, isBuiltInConnector(connector)});
    }
    if (resources) XRRFreeScreenResources(resources);
    if (monitors) XRRFreeMonitors(monitors);

    std::stable_sort(displays.begin(), displays.end(), [](const DisplayInfo& a, const DisplayInfo& b) {
        return a.bounds.x < b.bounds.x || (a.bounds.x == b.bounds.x && a.bounds.y < b.bounds.y);
    });
    return displays;
}

X11Displays::X11Displays(X11Thread& thread, MainQueue& main, std::string displayName)
    : thread_(thread), main_(main), displayName_(std::move(displayName)) {
    thread_.call([this] {
        Display* display = thread_.display();
        if (!display) return;
        int eventBase = 0, errorBase = 0;
        bool randr = XRRQueryExtension(display, &eventBase, &errorBase);
        if (randr)
            XRRSelectInput(display, DefaultRootWindow(display),
                           RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask);
        // Xvfb reports a changed monitor only through a configure event of the root.
        thread_.addRootEventMask(StructureNotifyMask);
        handler_ = thread_.addEventHandler([this, randr, eventBase](XEvent& event) {
            bool rootConfigured = event.type == ConfigureNotify &&
                                  event.xconfigure.window == DefaultRootWindow(event.xany.display);
            bool randrEvent = randr && (event.type == eventBase + RRScreenChangeNotify ||
                                        event.type == eventBase + RRNotify);
            if (rootConfigured || randrEvent) {
                XRRUpdateConfiguration(&event);
                changed();
            }
            return false;
        });
    });
}

X11Displays::~X11Displays() {
    if (handler_) thread_.removeEventHandler(handler_);
}

std::vector<DisplayInfo> X11Displays::current() {
    Display* display = XOpenDisplay(displayName_.empty() ? nullptr : displayName_.c_str());
    if (!display) return {};
    auto displays = readDisplays(display);
    XCloseDisplay(display);
    return displays;
}

void X11Displays::changed() {
    // One report for a burst of events.
    if (pending_.exchange(true)) return;
    main_.post([this, alive = std::weak_ptr(alive_)] {
        if (alive.expired()) return;
        pending_ = false;
        if (onChange) onChange();
    });
}

} // namespace orvane
