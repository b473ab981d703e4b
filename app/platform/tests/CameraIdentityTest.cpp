#include "platform/CameraIdentity.h"

#include "desk/TemporaryFolder.h"

#include <gtest/gtest.h>

using namespace orvane;
namespace fs = std::filesystem;

namespace {

struct Usb {
    std::string port = "1-5";
    std::optional<std::string> serial = std::nullopt;
    std::optional<std::string> removable = std::nullopt;
    std::optional<std::string> lid = std::nullopt;
};

// A video node as the kernel lists it: on an interface of a USB device (046d:0825), on a platform
// device (no usb), or unknown to sysfs.
struct Plugged {
    std::string node;
    std::optional<Usb> usb;
    std::string name = "USB Camera";
    std::string interface = "00";
    bool greyOnly = false;
    std::optional<bool> udevInfrared = std::nullopt; // udev's database entry, when it has one
    bool inSysfs = true;
};

void write(const fs::path& file, const std::string& text) {
    fs::create_directories(file.parent_path());
    test::writeFile(file, text + "\n");
}

// Lays the nodes out in a sysfs tree like the kernel's (class/video4linux/videoN links to the node
// under its device, whose `device` link points back up to the USB interface or platform device) and
// identifies them: the cameras' ids and built-in flags, in the order given.
std::vector<std::pair<std::string, bool>> identify(const std::vector<Plugged>& nodes) {
    test::TemporaryFolder folder;
    const DeviceRoots roots{folder / "sys", folder / "udev", folder / "dev"};
    std::vector<VideoNode> list;
    for (const auto& n : nodes) {
        list.push_back({n.node, n.inSysfs ? "" : n.name, n.greyOnly});
        if (!n.inSysfs) continue;
        fs::path parent = roots.sys / "devices/platform/soc/fe801000.csi";
        if (n.usb) {
            const fs::path device = roots.sys / "devices/pci0000:00/0000:00:14.0/usb1" / n.usb->port;
            write(device / "idVendor", "046d");
            write(device / "idProduct", "0825");
            if (n.usb->serial) write(device / "serial", *n.usb->serial);
            if (n.usb->removable) write(device / "removable", *n.usb->removable);
            if (n.usb->lid) write(device / "physical_location/lid", *n.usb->lid);
            parent = device / (n.usb->port + ":1." + std::to_string(std::stoi(n.interface)));
            write(parent / "bInterfaceNumber", n.interface);
        }
        const fs::path real = parent / "video4linux" / n.node;
        write(real / "name", n.name);
        write(real / "index", "0");
        write(real / "dev", "81:" + n.node.substr(5));
        fs::create_symlink("../../../" + parent.filename().string(), real / "device");
        fs::create_directories(roots.sys / "class/video4linux");
        fs::create_symlink(fs::relative(real, roots.sys / "class/video4linux"),
                           roots.sys / "class/video4linux" / n.node);
        if (n.udevInfrared)
            write(roots.udevData / ("c81:" + n.node.substr(5)),
                  std::string("E:ID_V4L_CAPABILITIES=:capture:") +
                      (*n.udevInfrared ? "\nE:ID_INFRARED_CAMERA=1" : ""));
    }
    std::vector<std::pair<std::string, bool>> result;
    for (const auto& camera : identifyCameras(roots, list)) {
        const auto plugged =
            std::find_if(nodes.begin(), nodes.end(), [&](auto& n) { return n.node == camera.node; });
        EXPECT_EQ(camera.info.name, plugged == nodes.end() ? "" : plugged->name) << camera.node;
        result.push_back({camera.info.id, camera.info.isBuiltIn});
    }
    return result;
}

} // namespace

// The id names the camera, not the node: a serial number wherever it is plugged in, else the port;
// built-in cameras come first, infrared sensors are left out.
TEST(CameraIdentityTest, IdsBuiltInFlagsAndOrderFollowTheDevices) {
    const std::string onPort = "usb:046d:0825@1-5/if00/idx0";
    const Usb fixed{.serial = "0001", .removable = "fixed"};
    const std::tuple<const char*, std::vector<Plugged>, std::vector<std::pair<std::string, bool>>> cases[] = {
        {"a serial number",
         {{"video0", Usb{.serial = "A1B2C3"}}},
         {{"usb:046d:0825:A1B2C3/if00/idx0", false}}},
        {"the same camera elsewhere",
         {{"video2", Usb{.port = "3-2.1", .serial = "A1B2C3"}}},
         {{"usb:046d:0825:A1B2C3/if00/idx0", false}}},
        {"no serial number: the port", {{"video4", Usb{}}}, {{onPort, false}}},
        {"two identical cameras told apart by their ports",
         {{"video0", Usb{.port = "1-1", .serial = "SN0001"}},
          {"video2", Usb{.port = "1-2", .serial = "SN0001"}}},
         {{"usb:046d:0825:SN0001@1-1/if00/idx0", false}, {"usb:046d:0825:SN0001@1-2/if00/idx0", false}}},
        {"an infrared sensor marked by udev beside the colour one",
         {{"video0", fixed, "Integrated C", "00", false, false},
          {"video2", fixed, "Integrated I", "02", false, true}},
         {{"usb:046d:0825:0001/if00/idx0", true}}},
        {"an unmarked infrared sensor offering greyscale only",
         {{"video0", fixed, "Integrated I", "00", true}, {"video2", fixed, "Integrated C", "02"}},
         {{"usb:046d:0825:0001/if02/idx0", true}}},
        {"a platform camera: built in, named by its path",
         {{"video0", std::nullopt, "unicam-image"}},
         {{"path:/devices/platform/soc/fe801000.csi/idx0", true}}},
        {"a node unknown to sysfs",
         {{"video3", Usb{}, "Integrated Webcam", "00", false, std::nullopt, false}},
         {{"dev:video3", true}}},
        {"built in first, then in discovery order",
         {{"video0", Usb{.port = "1-1", .removable = "removable"}, "Desk"},
          {"video2", Usb{.port = "1-2", .removable = "removable"}, "Document"},
          {"video4", Usb{.port = "1-7", .removable = "fixed"}, "Integrated"}},
         {{"usb:046d:0825@1-7/if00/idx0", true},
          {"usb:046d:0825@1-1/if00/idx0", false},
          {"usb:046d:0825@1-2/if00/idx0", false}}},
        // Built in: the port says so, else the name.
        {"a fixed port", {{"video0", Usb{.removable = "fixed"}}}, {{onPort, true}}},
        {"a removable port",
         {{"video0", Usb{.removable = "removable"}, "Integrated Camera"}},
         {{onPort, false}}},
        {"in the lid", {{"video0", Usb{.removable = "unknown", .lid = "yes"}}}, {{onPort, true}}},
        {"not in the lid", {{"video0", Usb{.removable = "unknown", .lid = "no"}}}, {{onPort, false}}},
        {"an unknown port and a built-in name",
         {{"video0", Usb{.removable = "unknown"}, "Integrated Camera"}},
         {{onPort, true}}},
        {"no port information and a built-in name",
         {{"video0", Usb{}, "HD Camera Built-in"}},
         {{onPort, true}}},
    };
    for (const auto& [name, nodes, cameras] : cases)
        EXPECT_EQ(identify(nodes), cameras) << name;
}
