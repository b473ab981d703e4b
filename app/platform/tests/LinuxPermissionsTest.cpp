#include "platform/LinuxPermissions.h"

#include "engine/tests/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvane;
namespace fs = std::filesystem;

namespace {

// Device nodes stand in as files with the nodes' permissions.
struct FakeDev {
    test::TemporaryFolder folder;

    FakeDev() { fs::permissions(folder.path(), fs::perms(0755)); }

    void node(const std::string& name, fs::perms perms) {
        test::writeFile(folder / name, "");
        fs::permissions(folder / name, perms);
    }
};

// The answer as an unprivileged user sees it: root opens anything, so a root test run asks as
// "nobody" in a child process.
CameraAuthorization asUser(const fs::path& dev) {
    pid_t child = fork();
    if (child == 0) {
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
        _exit(static_cast<int>(cameraAuthorization(dev)));
    }
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 100);
    return static_cast<CameraAuthorization>(WEXITSTATUS(status));
}

} // namespace

TEST(LinuxPermissionsTest, CameraAccessFollowsTheDeviceNodes) {
    FakeDev none;
    none.node("null", fs::perms(0666));
    EXPECT_EQ(asUser(none.folder.path()), CameraAuthorization::authorized);

    FakeDev open;
    open.node("video0", fs::perms(0600));
    open.node("video1", fs::perms(0666));
    EXPECT_EQ(asUser(open.folder.path()), CameraAuthorization::authorized);

    // Nodes the user may not open, as for a user outside the `video` group.
    FakeDev closed;
    closed.node("video0", fs::perms::none);
    closed.node("video1", fs::perms::none);
    EXPECT_EQ(asUser(closed.folder.path()), CameraAuthorization::denied);
}

TEST(LinuxPermissionsTest, WindowControlIsTheWindowThreadsAnswer) {
    bool available = false;
    LinuxPermissions permissions([&] { return available; });
    EXPECT_FALSE(permissions.windowControl());
    available = true;
    EXPECT_TRUE(permissions.windowControl());

    bool done = false;
    permissions.requestCamera([&] { done = true; });
    EXPECT_TRUE(done);
}
