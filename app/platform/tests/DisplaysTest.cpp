#include "platform/Displays.h"

#include "desk/TestDesktop.h"
#include "platform/X11Thread.h"

#include <X11/extensions/Xrandr.h>
#include <regex>

namespace orvane {
namespace {

using test::TestDesktop;

// A base EDID block with the identity fields set and a valid checksum.
std::vector<std::uint8_t> edidBlock(const std::string& maker, std::uint16_t product, std::uint32_t serial) {
    std::vector<std::uint8_t> edid = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    edid.resize(128);
    unsigned packed = ((maker[0] - 'A' + 1) << 10) | ((maker[1] - 'A' + 1) << 5) | (maker[2] - 'A' + 1);
    edid[8] = std::uint8_t(packed >> 8), edid[9] = std::uint8_t(packed);
    edid[10] = std::uint8_t(product), edid[11] = std::uint8_t(product >> 8);
    for (int i = 0; i < 4; ++i)
        edid[12 + i] = std::uint8_t(serial >> (8 * i));
    edid[18] = 1, edid[19] = 4; // EDID 1.4
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i)
        sum += edid[i];
    edid[127] = std::uint8_t((256 - sum % 256) % 256);
    return edid;
}

std::vector<std::string> names(const std::vector<DisplayInfo>& displays) {
    std::vector<std::string> result;
    for (const auto& d : displays)
        result.push_back(d.name);
    return result;
}

TEST(Displays, IdentityComesFromAValidEdidElseTheMonitorsName) {
    auto block = edidBlock("DEL", 0xA0C3, 0x4C4B4A31);
    EXPECT_EQ(parseEdid(block), (EdidIdentity{"DEL", 0xA0C3, 0x4C4B4A31}));
    auto corrupt = block, noHeader = block;
    corrupt[12] ^= 0x01; // the checksum no longer matches
    noHeader[0] = 0x01;
    EXPECT_EQ(parseEdid(corrupt), std::nullopt);
    EXPECT_EQ(parseEdid(noHeader), std::nullopt);
    EXPECT_EQ(parseEdid({block.begin(), block.begin() + 127}), std::nullopt);
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    EdidIdentity withSerial{"DEL", 0xA0C3, 12345}, noSerial{"GSM", 0x5B7F, 0};
    std::string id = displayUUID(withSerial, "DP-1", "DP-1");
    EXPECT_TRUE(std::regex_match(id, form)) << id;
    EXPECT_EQ(displayUUID(withSerial, "HDMI-2", "HDMI-2"), id) << "re-plugged elsewhere: the same monitor";
    EXPECT_NE(displayUUID(EdidIdentity{"DEL", 0xA0C3, 12346}, "DP-1", "DP-1"), id);
    // Two identical monitors without serials differ by where they are plugged in.
    EXPECT_NE(displayUUID(noSerial, "DP-1", "DP-1"), displayUUID(noSerial, "DP-2", "DP-2"));
    EXPECT_EQ(displayUUID(noSerial, "DP-1", "A"), displayUUID(noSerial, "DP-1", "B"));
    EXPECT_EQ(displayUUID(std::nullopt, "screen", "LEFT"), displayUUID(std::nullopt, "other", "LEFT"));
    EXPECT_NE(displayUUID(std::nullopt, "screen", "LEFT"), displayUUID(std::nullopt, "screen", "RIGHT"));
    for (const char* connector : {"eDP-1", "LVDS1", "DSI-1"})
        EXPECT_TRUE(isBuiltInConnector(connector)) << connector;
    for (const char* connector : {"DP-1", "HDMI-A-1", ""})
        EXPECT_FALSE(isBuiltInConnector(connector)) << connector;
}

TEST(Displays, OrderBoundsAndIDsFollowTheMonitorsAcrossRestartsAndReplugging) {
    TestDesktop desktop; // its own: the monitors change below
    X11Thread thread{"orvane.test", desktop.display()};
    test::CollectingQueue main;
    X11Displays displays{thread, main, desktop.display()};
    int changes = 0;
    displays.onChange = [&] { ++changes; };
    auto xrandr = [&](const std::string& arguments) {
        desktop.run("xrandr " + arguments + " >/dev/null 2>&1");
    };
    auto waitForChange = [&] {
        int before = changes;
        return test::waitUntil([&] {
            main.runAll();
            return changes > before;
        });
    };
    const auto before = displays.current();
    ASSERT_EQ(names(before), (std::vector<std::string>{"LEFT", "RIGHT"}));
    EXPECT_EQ(before[0].bounds, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(before[1].bounds, (Rect{1920, 0, 1920, 1080}));
    EXPECT_FALSE(before[0].isBuiltIn);
    EXPECT_EQ(before[0].uuid, displayUUID(std::nullopt, "screen", "LEFT"));
    EXPECT_NE(before[0].uuid, before[1].uuid);
    // As after a restart of the program: another connection, the same list.
    X11Thread again{"orvane.test2", desktop.display()};
    EXPECT_EQ(X11Displays(again, main, desktop.display()).current(), before);
    // RandR wants a monitor deleted before it is set again; Xvfb reports changes by a root configure only.
    xrandr("--delmonitor RIGHT");
    ASSERT_TRUE(waitForChange());
    EXPECT_EQ(names(displays.current()), (std::vector<std::string>{"LEFT"}));
    xrandr("--setmonitor RIGHT 1920/508x1080/286+1920+0 none");
    ASSERT_TRUE(waitForChange());
    EXPECT_EQ(displays.current(), before);
    // Listed again in the other order by the server, still sorted left to right.
    xrandr("--delmonitor LEFT");
    xrandr("--setmonitor LEFT 1920/508x1080/286+0+0 screen");
    ASSERT_TRUE(waitForChange());
    EXPECT_EQ(displays.current(), before);
    // A mirror of RIGHT is left out.
    xrandr("--setmonitor CLONE 1920/508x1080/286+1920+0 none");
    ASSERT_TRUE(waitForChange());
    EXPECT_EQ(displays.current(), before);
    xrandr("--delmonitor CLONE");
    // The EDID of LEFT's output "screen" names it; RIGHT has no output and keeps its name-based ID.
    auto edid = edidBlock("DEL", 0xA0C3, 0x4C4B4A31);
    Display* x = XOpenDisplay(desktop.display().c_str());
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(x, DefaultRootWindow(x));
    ASSERT_TRUE(resources && resources->noutput > 0);
    XRRChangeOutputProperty(x, resources->outputs[0], XInternAtom(x, RR_PROPERTY_RANDR_EDID, False),
                            XA_INTEGER, 8, PropModeReplace, edid.data(), int(edid.size()));
    XRRFreeScreenResources(resources);
    XCloseDisplay(x);
    auto current = displays.current();
    ASSERT_EQ(current.size(), 2u);
    EXPECT_EQ(current[0].uuid, displayUUID(EdidIdentity{"DEL", 0xA0C3, 0x4C4B4A31}, "screen", "LEFT"));
    EXPECT_EQ(current[1].uuid, before[1].uuid);
    // Equal left edges: the upper one first, whatever the server's order.
    xrandr("--delmonitor LEFT");
    xrandr("--delmonitor RIGHT");
    xrandr("--setmonitor BOTTOM 1920/508x540/143+0+540 screen");
    xrandr("--setmonitor TOP 1920/508x540/143+0+0 none");
    EXPECT_EQ(names(displays.current()), (std::vector<std::string>{"TOP", "BOTTOM"}));
}

} // namespace
} // namespace orvane
