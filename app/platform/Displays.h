#pragma once

#include "engine/Platform.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

typedef struct _XDisplay Display;

namespace orvane {

class X11Thread;

// The identity a monitor announces in its EDID block.
struct EdidIdentity {
    std::string manufacturer; // three letters, e.g. "DEL"
    std::uint16_t product = 0;
    std::uint32_t serial = 0; // 0 when the maker left it out
    bool operator==(const EdidIdentity&) const = default;
};

// The identity of a base EDID block; absent when the block is short, has no EDID header or a wrong checksum.
std::optional<EdidIdentity> parseEdid(const std::vector<std::uint8_t>& edid);

// A display's stable identifier, formatted like a UUID (8-4-4-4-12 upper-case hex): derived from the EDID
// identity (with the connector when the serial is 0, so that two identical monitors differ), else from the
// monitor's name. The same monitor gets the same string across restarts and re-plugging.
std::string displayUUID(const std::optional<EdidIdentity>& edid, const std::string& connector,
                        const std::string& monitorName);

// Internal panels: connectors named eDP, LVDS or DSI.
bool isBuiltInConnector(const std::string& connector);

// The displays of an X connection: its RandR 1.5 monitors, mirrors left out, sorted by left edge, then top.
std::vector<DisplayInfo> readDisplays(Display* display);

// The attached displays on X11. current() opens a connection of its own for each call, so it can run on the
// main thread; changes are watched on the X11 thread and reported on the main thread.
class X11Displays : public Displays {
  public:
    // displayName empty: DISPLAY.
    X11Displays(X11Thread& thread, MainQueue& main, std::string displayName = {});
    // Call before the thread ends.
    ~X11Displays() override;
    X11Displays(const X11Displays&) = delete;
    X11Displays& operator=(const X11Displays&) = delete;

    std::vector<DisplayInfo> current() override;

  private:
    void changed();

    X11Thread& thread_;
    MainQueue& main_;
    std::string displayName_;
    std::uint64_t handler_ = 0;
    std::atomic<bool> pending_{false}; // a change report is on its way to the main thread
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
};

} // namespace orvane
