#include "platform/CameraIdentity.h"

#include "engine/tests/TemporaryFolder.h"

#include <gtest/gtest.h>

using namespace orvane;
namespace fs = std::filesystem;

namespace {

// A sysfs tree laid out like the kernel's: class/video4linux/videoN links to the node under its
// device, whose `device` link points back up to the USB interface or platform device.
struct FakeDevices {
    test::TemporaryFolder folder;
    DeviceRoots roots{folder / "sys", folder / "udev", folder / "dev"};

    struct Usb {
        std::string port = "1-5";
        std::string vendor = "046d";
        std::string product = "0825";
        std::optional<std::string> serial = std::nullopt;
        std::optional<std::string> removable = std::nullopt;
        std::optional<std::string> lid = std::nullopt;
    };

    // The USB interface folder for a device on a port.
    fs::path usbInterface(const Usb& usb, const std::string& interface = "00") {
        fs::path device = roots.sys / "devices/pci0000:00/0000:00:14.0/usb1" / usb.port;
        fs::create_directories(device);
        write(device / "idVendor", usb.vendor);
        write(device / "idProduct", usb.product);
        if (usb.serial) write(device / "serial", *usb.serial);
        if (usb.removable) write(device / "removable", *usb.removable);
        if (usb.lid) {
            fs::create_directories(device / "physical_location");
            write(device / "physical_location/lid", *usb.lid);
        }
        fs::path interfaceFolder = device / (usb.port + ":1." + std::to_string(std::stoi(interface)));
        fs::create_directories(interfaceFolder);
        write(interfaceFolder / "bInterfaceNumber", interface);
        return interfaceFolder;
    }

    void node(const std::string& name, const fs::path& parent, const std::string& label, int index = 0) {
        fs::path real = parent / "video4linux" / name;
        fs::create_directories(real);
        write(real / "name", label);
        write(real / "index", std::to_string(index));
        write(real / "dev", "81:" + name.substr(5));
        fs::create_symlink("../../../" + parent.filename().string(), real / "device");
        fs::create_directories(roots.sys / "class/video4linux");
        fs::create_symlink(fs::relative(real, roots.sys / "class/video4linux"),
                           roots.sys / "class/video4linux" / name);
    }

    // udev's database entry for the node, as udev writes one for every camera.
    void udevEntry(const std::string& name, bool infrared) {
        fs::create_directories(roots.udevData);
        write(roots.udevData / ("c81:" + name.substr(5)), std::string("E:ID_V4L_CAPABILITIES=:capture:\n") +
                                                              (infrared ? "E:ID_INFRARED_CAMERA=1\n" : ""));
    }

    static void write(const fs::path& file, const std::string& text) { test::writeFile(file, text + "\n"); }
};

std::vector<std::string> ids(const std::vector<CameraIdentity>& cameras) {
    std::vector<std::string> result;
    for (const auto& camera : cameras)
        result.push_back(camera.info.id);
    return result;
}

} // namespace

// The id names the camera, not the node: a serial number wherever it is plugged in, else the port.
TEST(CameraIdentityTest, TheIdFollowsTheSerialNumberElseThePort) {
    const std::tuple<FakeDevices::Usb, std::string, std::string> cases[] = {
        {{.serial = "A1B2C3"}, "video0", "usb:046d:0825:A1B2C3/if00/idx0"},
        {{.port = "3-2.1", .serial = "A1B2C3"}, "video2", "usb:046d:0825:A1B2C3/if00/idx0"},
        {{.port = "1-5"}, "video4", "usb:046d:0825@1-5/if00/idx0"},
        {{.port = "1-6"}, "video0", "usb:046d:0825@1-6/if00/idx0"},
    };
    for (const auto& [usb, node, id] : cases) {
        FakeDevices tree;
        tree.node(node, tree.usbInterface(usb), "HD Webcam C270");
        const auto camera = identifyCamera(tree.roots, {node, "", false});
        EXPECT_EQ(camera.info.id, id) << node;
        EXPECT_EQ(camera.info.name, "HD Webcam C270");
        EXPECT_EQ(camera.node, node);
    }
}

TEST(CameraIdentityTest, InfraredSensorBesideTheColourOneIsLeftOut) {
    FakeDevices tree;
    FakeDevices::Usb usb{.serial = "0001", .removable = "fixed"};
    tree.node("video0", tree.usbInterface(usb, "00"), "Integrated Camera: Integrated C");
    tree.node("video2", tree.usbInterface(usb, "02"), "Integrated Camera: Integrated I");
    EXPECT_EQ(identifyCamera(tree.roots, {"video2", "", false}).info.id, "usb:046d:0825:0001/if02/idx0");

    // Marked by udev.
    tree.udevEntry("video0", false);
    tree.udevEntry("video2", true);
    EXPECT_EQ(ids(identifyCameras(tree.roots, {{"video0", "", false}, {"video2", "", false}})),
              std::vector<std::string>{"usb:046d:0825:0001/if00/idx0"});

    // Not marked, but offering greyscale only.
    FakeDevices unmarked;
    unmarked.node("video0", unmarked.usbInterface(usb, "00"), "Integrated Camera: Integrated C");
    unmarked.node("video2", unmarked.usbInterface(usb, "02"), "Integrated Camera: Integrated I");
    EXPECT_EQ(ids(identifyCameras(unmarked.roots, {{"video0", "", false}, {"video2", "", true}})),
              std::vector<std::string>{"usb:046d:0825:0001/if00/idx0"});
}

TEST(CameraIdentityTest, TwoIdenticalCamerasAreToldApartByTheirPorts) {
    FakeDevices tree;
    tree.node("video0", tree.usbInterface({.port = "1-1", .serial = "SN0001"}), "USB Camera");
    tree.node("video2", tree.usbInterface({.port = "1-2", .serial = "SN0001"}), "USB Camera");
    EXPECT_EQ(ids(identifyCameras(tree.roots, {{"video0", "", false}, {"video2", "", false}})),
              (std::vector<std::string>{"usb:046d:0825:SN0001@1-1/if00/idx0",
                                        "usb:046d:0825:SN0001@1-2/if00/idx0"}));
    // Alone, the camera keeps its plain id.
    EXPECT_EQ(ids(identifyCameras(tree.roots, {{"video2", "", false}})),
              std::vector<std::string>{"usb:046d:0825:SN0001/if00/idx0"});
}

TEST(CameraIdentityTest, PlatformCameraIsBuiltInAndNamedByItsPath) {
    FakeDevices tree;
    fs::path device = tree.roots.sys / "devices/platform/soc/fe801000.csi";
    fs::create_directories(device);
    tree.node("video0", device, "unicam-image");
    auto camera = identifyCamera(tree.roots, {"video0", "", false});
    EXPECT_EQ(camera.info.id, "path:/devices/platform/soc/fe801000.csi/idx0");
    EXPECT_TRUE(camera.info.isBuiltIn);
    EXPECT_EQ(camera.port, "");
}

TEST(CameraIdentityTest, BuiltInFollowsThePortThenTheName) {
    struct Case {
        FakeDevices::Usb usb;
        std::string name;
        bool builtIn;
    };
    std::vector<Case> cases = {
        {{.removable = "fixed"}, "USB Camera", true},
        {{.removable = "removable"}, "Integrated Camera", false},
        {{.removable = "unknown", .lid = "yes"}, "USB Camera", true},
        {{.removable = "unknown"}, "Integrated Camera", true},
        {{}, "HD Camera Built-in", true},
        {{.removable = "unknown", .lid = "no"}, "USB Camera", false},
    };
    for (const auto& c : cases) {
        FakeDevices tree;
        tree.node("video0", tree.usbInterface(c.usb), c.name);
        EXPECT_EQ(identifyCamera(tree.roots, {"video0", "", false}).info.isBuiltIn, c.builtIn) << c.name;
    }
}

TEST(CameraIdentityTest, BuiltInCamerasComeFirstThenTheOthersInDiscoveryOrder) {
    FakeDevices tree;
    tree.node("video0", tree.usbInterface({.port = "1-1", .removable = "removable"}), "Desk Camera");
    tree.node("video2", tree.usbInterface({.port = "1-2", .removable = "removable"}), "Document Camera");
    tree.node("video4", tree.usbInterface({.port = "1-7", .removable = "fixed"}), "Integrated Camera");
    auto cameras =
        identifyCameras(tree.roots, {{"video0", "", false}, {"video2", "", false}, {"video4", "", false}});
    ASSERT_EQ(cameras.size(), 3u);
    EXPECT_EQ(cameras[0].info.name, "Integrated Camera");
    EXPECT_EQ(cameras[1].info.name, "Desk Camera");
    EXPECT_EQ(cameras[2].info.name, "Document Camera");
}

TEST(CameraIdentityTest, NodeUnknownToSysfsIsStillListedWithAnId) {
    FakeDevices tree;
    auto cameras = identifyCameras(tree.roots, {{"video3", "Integrated Webcam", false}});
    ASSERT_EQ(cameras.size(), 1u);
    EXPECT_EQ(cameras[0].info.id, "dev:video3");
    EXPECT_TRUE(cameras[0].info.isBuiltIn);
}
