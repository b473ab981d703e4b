// The session's display sleep on a real X server; apart from the D-Bus tests, whose Qt headers must come
// before Xlib's macros.

#include "engine/tests/CapturingLog.h"
#include "platform/SessionMonitor.h"
#include "platform/tests/TestDesktop.h"

#include <gtest/gtest.h>

using namespace orvane;
using namespace orvane::test;

TEST(SessionDisplaysTest, DisplaysWithoutPowerManagementAreAwake) {
    // Xvfb has no DPMS extension, as some X servers lack it.
    CapturingLog log;
    LinuxSession session(QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "no-bus"),
                         QDBusConnection::connectToBus("unix:path=/nonexistent/bus", "no-bus"), log, "",
                         TestDesktop::shared().display());
    EXPECT_EQ(session.displaysAsleep(), std::vector<bool>{false});
}
