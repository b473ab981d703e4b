#pragma once

// Wall-clock instants in their stored form: "YYYY-MM-DDTHH:MM:SSZ", UTC, whole seconds.

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

namespace orvane {

using WallTime = std::chrono::system_clock::time_point;

// The instant with its fraction of a second dropped (towards the past).
WallTime wholeSeconds(WallTime time);

// Formats the instant truncated to whole seconds.
std::string formatDateTime(WallTime time);

// Accepts exactly the stored form with a valid calendar date; no fractions, no other zones.
std::optional<WallTime> parseDateTime(std::string_view text);

} // namespace orvane
