#pragma once

#include <string>
#include <string_view>

namespace orvane {

enum class LogLevel { info, error };

std::string_view toString(LogLevel level);

// The platform log: one message with its category ("engine", "camera", "focus", "windows", "profiles").
class Log {
public:
    virtual ~Log() = default;
    // May be called from any thread.
    virtual void write(std::string_view category, LogLevel level, std::string_view message) = 0;
};

// One line per message on standard error: "orvane.<category> <level>: <message>".
class StderrLog : public Log {
public:
    void write(std::string_view category, LogLevel level, std::string_view message) override;
};

// A component's handle on the log with its category fixed.
class Logger {
public:
    Logger(Log& log, std::string category) : log_(&log), category_(std::move(category)) {}
    void info(std::string_view message) const { log_->write(category_, LogLevel::info, message); }
    void error(std::string_view message) const { log_->write(category_, LogLevel::error, message); }

private:
    Log* log_;
    std::string category_;
};

} // namespace orvane
