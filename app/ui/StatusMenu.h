#pragma once

// What the tray shows for the engine's state: the symbol, whether it is dimmed, and the status line.

#include "engine/Engine.h"

#include <QString>

namespace orvane {

// The symbol's name, also the icon's accessible name: "eye", "eye.slash", "scope", ...
QString statusSymbol(const Engine& engine);
// Paused, or only one display: nothing will switch.
bool statusDimmed(const Engine& engine);
// The first line of the menu and the tooltip.
QString statusText(const Engine& engine);

} // namespace orvane
