#pragma once

// The virtual desktop and its test windows, included after every Qt header: Xlib's macros (Status, Bool)
// would break Qt's headers and our own Status types, so they go once it is read.

#include "TestDesktop.h"
#include "UiTest.h"

#undef Status
#undef Bool

namespace orvane::test {

// The rig's displays replaced by the desktop's real monitors, so that windows find their screens.
inline void useRealDisplays(UiRig& rig) {
    rig.displays.list = readDisplays(TestClient("Displays").connection());
}

} // namespace orvane::test
