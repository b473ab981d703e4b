#pragma once

// A log that keeps every line for the test to inspect; writers may be on any thread.

#include "engine/Log.h"

#include <mutex>
#include <string>
#include <string_view>
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

    // The messages alone, in order.
    std::vector<std::string> messages() const {
        std::lock_guard lock(mutex_);
        std::vector<std::string> result;
        for (const auto& line : lines_)
            result.push_back(line.message);
        return result;
    }

    // How many messages begin with the prefix.
    std::size_t count(std::string_view prefix) const {
        std::lock_guard lock(mutex_);
        std::size_t n = 0;
        for (const auto& line : lines_)
            if (std::string_view(line.message).starts_with(prefix)) ++n;
        return n;
    }

    void clear() {
        std::lock_guard lock(mutex_);
        lines_.clear();
    }

  private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

} // namespace orvane::test
