#include "engine/Log.h"

#include <cstdio>

namespace orvane {

std::string_view toString(LogLevel level) { return level == LogLevel::info ? "info" : "error"; }

void StderrLog::write(std::string_view category, LogLevel level, std::string_view message) {
    std::string line = "orvane.";
    line.append(category).append(" ").append(toString(level)).append(": ").append(message).append("\n");
    // One fwrite per line keeps lines from different threads whole.
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace orvane
