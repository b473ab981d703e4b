#include "platform/LinuxPermissions.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace orvane {

CameraAuthorization cameraAuthorization(const std::filesystem::path& devRoot) {
    bool refused = false;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(devRoot, error)) {
        if (!entry.path().filename().string().starts_with("video")) continue;
        // Opening a node starts nothing; capture needs read and write.
        int fd = ::open(entry.path().c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) {
            ::close(fd);
            return CameraAuthorization::authorized;
        }
        // A node that vanished or whose device is gone says nothing about the user's rights.
        if (errno == EACCES || errno == EPERM) refused = true;
    }
    return refused ? CameraAuthorization::denied : CameraAuthorization::authorized;
}

} // namespace orvane
