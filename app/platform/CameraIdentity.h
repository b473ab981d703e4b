#pragma once

// Who a video node is: an id that survives restarts, re-plugging and renumbering, and whether the
// camera is built into the computer. Read from sysfs and the udev database only, so that tests can
// point the roots at fake folder trees.

#include "engine/Platform.h"

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// Where the kernel's and udev's views of the devices live.
struct DeviceRoots {
    std::filesystem::path sys = "/sys";
    std::filesystem::path udevData = "/run/udev/data";
    std::filesystem::path dev = "/dev";
};

// A capture node as discovery found it.
struct VideoNode {
    std::string node;      // "video0"
    std::string name;      // the name to show; sysfs's name when empty
    bool greyOnly = false; // every format it offers is greyscale: an infrared sensor
};

struct CameraIdentity {
    CameraInfo info;
    std::string node; // "video0"; the number changes on re-plug, so it is looked up at every start
    std::string port; // USB port path such as "1-5.2"; empty off USB
    bool infrared = false;
};

// The identity of one node from sysfs:
//   USB with a serial    usb:VID:PID:SERIAL/ifNN/idxN
//   USB without a serial usb:VID:PID@PORT/ifNN/idxN
//   other buses          path:<device path>/idxN
// A node sysfs does not know gets "dev:<node>".
CameraIdentity identifyCamera(const DeviceRoots& roots, const VideoNode& node);

// The cameras a user can choose from: infrared sensors left out, two present cameras with the
// same id told apart by their port, built-in cameras first and the others in discovery order.
std::vector<CameraIdentity> identifyCameras(const DeviceRoots& roots, const std::vector<VideoNode>& nodes);

} // namespace orvane
