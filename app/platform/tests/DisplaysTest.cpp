#include "platform/Displays.h"

#include "CollectingQueue.h"
#include "TestDesktop.h"
#include "platform/X11Thread.h"

#include <X11/extensions/Xrandr.h>
#include <regex>

namespace orvane {
namespace {

using test::CollectingQueue;
using test::DesktopOptions;
using test::TestDesktop;
using test::waitUntil;

// A base EDID block with the identity fields set and a valid checksum.
std::vector<std::uint8_t> edidBlock(const std::string& maker, std::uint16_t product, std::uint32_t serial) {
    std::vector<std::uint8_t> edid(128, 0);
    const std::uint8_t header[8] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    std::copy(header, header + 8, edid.begin());
    unsigned packed = ((maker[0] - 'A' + 1) << 10) | ((maker[1] - 'A' + 1) << 5) | (maker[2] - 'A' + 1);
    edid[8] = static_cast<std::uint8_t>(packed >> 8);
    edid[9] = static_cast<std::uint8_t>(packed);
    edid[10] = static_cast<std::uint8_t>(product);
    edid[11] = static_cast<std::uint8_t>(product >> 8);
    for (int i = 0; i < 4; ++i)
        edid[12 + i] = static_cast<std::uint8_t>(serial >> (8 * i));
    edid[18] = 1, edid[19] = 4; // EDID 1.4
    unsigned sum = 0;
    for (int i = 0; i < 127; ++i)
        sum += edid[i];
    edid[127] = static_cast<std::uint8_t>((256 - sum % 256) % 256);
    return edid;
}

std::vector<DisplayInfo> displaysOf(const TestDesktop& desktop) {
    Display* display = XOpenDisplay(desktop.display().c_str());
    auto displays = readDisplays(display);
    XCloseDisplay(display);
    return displays;
}

std::vector<std::string> names(const std::vector<DisplayInfo>& displays) {
    std::vector<std::string> result;
    for (const auto& d : displays)
        result.push_back(d.name);
    return result;
}

TEST(Displays, EdidIdentityIsReadFromAValidBlockOnly) {
    auto block = edidBlock("DEL", 0xA0C3, 0x4C4B4A31);
    EXPECT_EQ(parseEdid(block), (EdidIdentity{"DEL", 0xA0C3, 0x4C4B4A31}));

    auto corrupt = block;
    corrupt[12] ^= 0x01; // the checksum no longer matches
    EXPECT_EQ(parseEdid(corrupt), std::nullopt);
    EXPECT_EQ(parseEdid({block.begin(), block.begin() + 127}), std::nullopt);
    auto noHeader = block;
    noHeader[0] = 0x01;
    EXPECT_EQ(parseEdid(noHeader), std::nullopt);
}

TEST(Displays, UUIDsAreStableAndTellIdenticalMonitorsApartByConnectorOnlyWithoutSerial) {
    const std::regex form("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}");
    EdidIdentity withSerial{"DEL", 0xA0C3, 12345}, noSerial{"GSM", 0x5B7F, 0};

    std::string id = displayUUID(withSerial, "DP-1", "DP-1");
    EXPECT_TRUE(std::regex_match(id, form)) << id;
    // Re-plugged into another connector: the same monitor.
    EXPECT_EQ(displayUUID(withSerial, "HDMI-2", "HDMI-2"), id);
    EXPECT_NE(displayUUID(EdidIdentity{"DEL", 0xA0C3, 12346}, "DP-1", "DP-1"), id);
    // Two identical monitors without serials differ by where they are plugged in.
    EXPECT_NE(displayUUID(noSerial, "DP-1", "DP-1"), displayUUID(noSerial, "DP-2", "DP-2"));
    EXPECT_EQ(displayUUID(noSerial, "DP-1", "A"), displayUUID(noSerial, "DP-1", "B"));
    // Without EDID the monitor's name decides.
    EXPECT_EQ(displayUUID(std::nullopt, "screen", "LEFT"), displayUUID(std::nullopt, "other", "LEFT"));
    EXPECT_NE(displayUUID(std::nullopt, "screen", "LEFT"), displayUUID(std::nullopt, "screen", "RIGHT"));
    EXPECT_TRUE(std::regex_match(displayUUID(std::nullopt, "", "LEFT"), form));
}

TEST(Displays, InternalPanelsAreBuiltIn) {
    EXPECT_TRUE(isBuiltInConnector("eDP-1"));
    EXPECT_TRUE(isBuiltInConnector("LVDS1"));
    EXPECT_TRUE(isBuiltInConnector("DSI-1"));
    EXPECT_FALSE(isBuiltInConnector("DP-1"));
    EXPECT_FALSE(isBuiltInConnector("HDMI-A-1"));
    EXPECT_FALSE(isBuiltInConnector(""));
}

TEST(Displays, MonitorsComeLeftToRightWithTheirBoundsAndKeepTheirIDsAcrossConnections) {
    auto& desktop = TestDesktop::shared();
    X11Thread thread("orvane.test", desktop.display());
    CollectingQueue main;
    auto first = X11Displays(thread, main, desktop.display()).current();
    ASSERT_EQ(names(first), (std::vector<std::string>{"LEFT", "RIGHT"}));
    EXPECT_EQ(first[0].bounds, (Rect{0, 0, 1920, 1080}));
    EXPECT_EQ(first[1].bounds, (Rect{1920, 0, 1920, 1080}));
    EXPECT_FALSE(first[0].isBuiltIn);
    EXPECT_NE(first[0].uuid, first[1].uuid);
    EXPECT_EQ(first[0].uuid, displayUUID(std::nullopt, "screen", "LEFT"));

    // As after a restart of the program: another connection, the same list.
    X11Thread again("orvane.test2", desktop.display());
    EXPECT_EQ(X11Displays(again, main, desktop.display()).current(), first);
}

TEST(Displays, EqualLeftEdgesAreOrderedByTopEdge) {
    TestDesktop desktop(DesktopOptions{.layout = "stacked"});
    EXPECT_EQ(names(displaysOf(desktop)), (std::vector<std::string>{"TOP", "BOTTOM"}));
}

// One desktop whose monitors the tests change.
struct DisplaysOnOwnDesktop : ::testing::Test {
    TestDesktop desktop;
    X11Thread thread{"orvane.test", desktop.display()};
    CollectingQueue main;
    X11Displays displays{thread, main, desktop.display()};
    int changes = 0;

    void SetUp() override {
        displays.onChange = [this] { ++changes; };
    }
    bool waitForChange() {
        int before = changes;
        return waitUntil([&] {
            main.runAll();
            return changes > before;
        });
    }
};

TEST_F(DisplaysOnOwnDesktop, RemovedAndAddedMonitorIsReportedAndKeepsItsID) {
    const auto before = displays.current();
    ASSERT_EQ(before.size(), 2u);

    desktop.removeMonitor("RIGHT");
    ASSERT_TRUE(waitForChange());
    EXPECT_EQ(names(displays.current()), (std::vector<std::string>{"LEFT"}));

    desktop.setMonitor("RIGHT", before[1].bounds);
    ASSERT_TRUE(waitForChange());
    EXPECT_EQ(displays.current(), before);

    // Listed again in the other order by the server, still sorted left to right.
    desktop.removeMonitor("LEFT");
    desktop.setMonitor("LEFT", before[0].bounds, "screen");
    ASSERT_TRUE(waitForChange());
    EXPECT_EQ(displays.current(), before);
}

TEST_F(DisplaysOnOwnDesktop, MirrorIsLeftOut) {
    const auto before = displays.current();
    desktop.setMonitor("CLONE", before[1].bounds);
    ASSERT_TRUE(waitForChange());
    EXPECT_EQ(displays.current(), before);
}

TEST_F(DisplaysOnOwnDesktop, EdidOfTheOutputNamesTheDisplay) {
    auto edid = edidBlock("DEL", 0xA0C3, 0x4C4B4A31);
    Display* x = XOpenDisplay(desktop.display().c_str());
    XRRScreenResources* resources = XRRGetScreenResourcesCurrent(x, DefaultRootWindow(x));
    ASSERT_TRUE(resources && resources->noutput > 0);
    XRRChangeOutputProperty(x, resources->outputs[0], XInternAtom(x, RR_PROPERTY_RANDR_EDID, False),
                            XA_INTEGER, 8, PropModeReplace, edid.data(), static_cast<int>(edid.size()));
    XRRFreeScreenResources(resources);
    XSync(x, False);
    XCloseDisplay(x);

    auto current = displays.current();
    ASSERT_EQ(current.size(), 2u);
    // LEFT is driven by the output "screen"; RIGHT has no output and keeps its name-based ID.
    EXPECT_EQ(current[0].uuid, displayUUID(EdidIdentity{"DEL", 0xA0C3, 0x4C4B4A31}, "screen", "LEFT"));
    EXPECT_EQ(current[1].uuid, displayUUID(std::nullopt, "", "RIGHT"));
}

} // namespace
} // namespace orvane
