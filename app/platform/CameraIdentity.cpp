#include "platform/CameraIdentity.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <map>

namespace orvane {

namespace fs = std::filesystem;

namespace {

// A sysfs attribute without its trailing newline; absent when the file is missing.
std::optional<std::string> attribute(const fs::path& file) {
    std::ifstream in(file);
    if (!in) return std::nullopt;
    std::string text;
    std::getline(in, text);
    while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back())))
        text.pop_back();
    return text;
}

std::string lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    return text;
}

bool soundsBuiltIn(const std::string& name) {
    auto lower = lowercase(name);
    return lower.find("integrated") != std::string::npos || lower.find("built-in") != std::string::npos;
}

// udev's database entry for a character device marks infrared sensors with ID_INFRARED_CAMERA=1.
bool markedInfrared(const DeviceRoots& roots, const fs::path& nodeDir) {
    auto numbers = attribute(nodeDir / "dev"); // "81:0"
    if (!numbers) return false;
    std::ifstream in(roots.udevData / ("c" + *numbers));
    for (std::string line; std::getline(in, line);)
        if (line == "E:ID_INFRARED_CAMERA=1") return true;
    return false;
}

} // namespace

CameraIdentity identifyCamera(const DeviceRoots& roots, const VideoNode& node) {
    CameraIdentity identity;
    identity.node = node.node;
    identity.info.name = node.name;

    fs::path nodeDir = roots.sys / "class/video4linux" / node.node;
    std::error_code error;
    fs::path device = fs::canonical(nodeDir / "device", error);
    if (error) {
        identity.info.id = "dev:" + node.node;
        identity.info.isBuiltIn = soundsBuiltIn(node.name);
        return identity;
    }
    if (identity.info.name.empty()) identity.info.name = attribute(nodeDir / "name").value_or(node.node);
    std::string index = "/idx" + attribute(nodeDir / "index").value_or("0");
    identity.infrared = markedInfrared(roots, nodeDir);

    // A USB camera's node hangs off one interface of the USB device; the interface number tells a
    // colour sensor from an infrared one in the same housing.
    auto interfaceNumber = attribute(device / "bInterfaceNumber");
    fs::path usbDevice = device.parent_path();
    auto vendor = attribute(usbDevice / "idVendor");
    auto product = attribute(usbDevice / "idProduct");
    if (!interfaceNumber || !vendor || !product) {
        fs::path root = fs::canonical(roots.sys, error);
        identity.info.id = "path:/" + device.lexically_relative(root).generic_string() + index;
        identity.info.isBuiltIn = true;
        return identity;
    }

    identity.port = usbDevice.filename().string();
    std::string usb = "usb:" + *vendor + ":" + *product;
    auto serial = attribute(usbDevice / "serial");
    if (serial && !serial->empty())
        usb += ":" + *serial;
    else
        usb += "@" + identity.port;
    identity.info.id = usb + "/if" + *interfaceNumber + index;

    auto removable = attribute(usbDevice / "removable");
    if (removable == "fixed" || attribute(usbDevice / "physical_location/lid") == "yes")
        identity.info.isBuiltIn = true;
    else if (removable == "removable")
        identity.info.isBuiltIn = false;
    else
        identity.info.isBuiltIn = soundsBuiltIn(identity.info.name);
    return identity;
}

std::vector<CameraIdentity> identifyCameras(const DeviceRoots& roots, const std::vector<VideoNode>& nodes) {
    std::vector<CameraIdentity> cameras;
    for (const auto& node : nodes) {
        auto identity = identifyCamera(roots, node);
        if (identity.infrared || node.greyOnly) continue;
        cameras.push_back(std::move(identity));
    }

    // Identical cameras may share a serial number; their ports keep them apart.
    std::map<std::string, int> uses;
    for (const auto& camera : cameras)
        ++uses[camera.info.id];
    for (auto& camera : cameras) {
        if (uses[camera.info.id] < 2 || camera.port.empty()) continue;
        auto& id = camera.info.id;
        id.insert(id.find("/if"), "@" + camera.port);
    }

    std::stable_partition(cameras.begin(), cameras.end(),
                          [](const CameraIdentity& camera) { return camera.info.isBuiltIn; });
    return cameras;
}

} // namespace orvane
