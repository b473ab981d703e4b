#pragma once

// A log that keeps every line for the test to inspect; writers may be on any thread.

#include "engine/Log.h"

#include <algorithm>
#include <mutex>
#include <string>
#include <vector>

namespace orvane::test {

class CapturingLog : public Log {
  public:
    struct Line {
        std::string category;
        LogLevel level = LogLevel::info;
        std::string message;
        bool operator==(const Line&) const = default;
    };

    void write(std::string_view category, LogLevel level, std::string_view message) override {
        std::lock_guard lock(mutex_);
        lines_.push_back({std::string(category), level, std::string(message)});
    }
    std::vector<Line> lines() const {
        std::lock_guard lock(mutex_);
        return lines_;
    }
    // How many messages begin with the prefix.
    std::size_t count(std::string_view prefix) const {
        std::lock_guard lock(mutex_);
        return std::ranges::count_if(lines_,
                                     [&](const Line& line) { return line.message.starts_with(prefix); });
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

} // namespace orvane::test
