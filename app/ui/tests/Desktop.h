#pragma once

// The virtual desktop and its test windows, included after every Qt header: Xlib's macros (Status, Bool)
// would break Qt's headers and our own Status types, so they go once it is read.

#include "TestDesktop.h"

#undef Status
#undef Bool
