#include "platform/LinuxPermissions.h"

#include "desk/TemporaryFolder.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace orvane;
namespace fs = std::filesystem;

// Device nodes stand in as files with the nodes' permissions. The answer is the one an unprivileged user
// gets: root opens anything, so a root test run asks as "nobody" in a child process.
TEST(LinuxPermissionsTest, CameraAccessFollowsTheDeviceNodes) {
    using enum CameraAuthorization;
    const std::tuple<const char*, std::vector<std::pair<std::string, fs::perms>>, CameraAuthorization>
        cases[] = {
            {"no camera", {{"null", fs::perms(0666)}}, authorized},
            {"one node the user may open",
             {{"video0", fs::perms(0600)}, {"video1", fs::perms(0666)}},
             authorized},
            {"a user outside the video group",
             {{"video0", fs::perms::none}, {"video1", fs::perms::none}},
             denied},
        };
    for (const auto& [name, nodes, expected] : cases) {
        test::TemporaryFolder dev;
        fs::permissions(dev.path(), fs::perms(0755));
        for (const auto& [node, perms] : nodes) {
            test::writeFile(dev / node, "");
            fs::permissions(dev / node, perms);
        }
        const pid_t child = fork();
        if (child == 0) {
            if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(100);
            _exit(static_cast<int>(cameraAuthorization(dev.path())));
        }
        int status = 0;
        waitpid(child, &status, 0);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) < 100) << name;
        EXPECT_EQ(static_cast<CameraAuthorization>(WEXITSTATUS(status)), expected) << name;
    }
}
