#pragma once

// The simulated user (tools/simulated-user) as a test drives it: a child process on a given display,
// commands written to its standard input, its event lines read as they come.

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <mutex>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace orvane::test {

class SimulatedUser {
  public:
    // One event line: "<time> <name> <rest>".
    struct Event {
        double time = 0;
        std::string name;
        std::string rest;
        // The rest's words.
        std::vector<std::string> words() const {
            std::istringstream in(rest);
            std::vector<std::string> result;
            for (std::string word; in >> word;)
                result.push_back(word);
            return result;
        }
    };

    SimulatedUser(const std::string& display, const std::vector<std::string>& arguments) {
        int input[2], output[2];
        if (pipe2(input, O_CLOEXEC) != 0 || pipe2(output, O_CLOEXEC) != 0)
            throw std::runtime_error("no pipes");
        std::vector<std::string> command{ORVANE_SIMULATED_USER};
        command.insert(command.end(), arguments.begin(), arguments.end());
        pid_ = fork();
        if (pid_ == 0) {
            dup2(input[0], STDIN_FILENO);
            dup2(output[1], STDOUT_FILENO);
            setenv("DISPLAY", display.c_str(), 1);
            std::vector<char*> argv;
            for (auto& word : command)
                argv.push_back(word.data());
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(input[0]);
        close(output[1]);
        input_ = fdopen(input[1], "w");
        reader_ = std::thread([this, out = output[0]] {
            FILE* in = fdopen(out, "r");
            char line[2048];
            while (in && std::fgets(line, sizeof line, in)) {
                Event event;
                std::istringstream text(line);
                text >> event.time >> event.name;
                std::getline(text >> std::ws, event.rest);
                std::lock_guard lock(mutex_);
                events_.push_back(event);
                arrived_.notify_all();
            }
            if (in) std::fclose(in);
        });
    }
    ~SimulatedUser() {
        stop();
        if (reader_.joinable()) reader_.join();
    }
    SimulatedUser(const SimulatedUser&) = delete;
    SimulatedUser& operator=(const SimulatedUser&) = delete;

    // The next event of this name (that also matches, when a match is given) after the last one waited
    // for, within the time.
    std::optional<Event> waitFor(const std::string& name, const std::function<bool(const Event&)>& match = {},
                                 double seconds = 5) {
        std::unique_lock lock(mutex_);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (true) {
            for (; next_ < events_.size(); ++next_)
                if (events_[next_].name == name && (!match || match(events_[next_]))) return events_[next_++];
            if (arrived_.wait_until(lock, deadline) == std::cv_status::timeout && next_ == events_.size())
                return std::nullopt;
        }
    }

    // The camera source fragment it serves.
    std::string source() {
        std::lock_guard lock(sourceMutex_);
        if (source_.empty()) {
            if (const auto event = waitFor("source")) source_ = event->rest;
        }
        return source_;
    }

    void send(const std::string& command) {
        if (!input_) return;
        std::fprintf(input_, "%s\n", command.c_str());
        std::fflush(input_);
    }

    pid_t pid() const { return pid_; }

    std::vector<Event> events() const {
        std::lock_guard lock(mutex_);
        return events_;
    }

    // Asks it to end (SIGTERM) and waits; its exit status, or -1 when it did not end within 5 s
    // (then it is killed).
    int stop() {
        if (pid_ <= 0) return exitStatus_;
        if (input_) std::fclose(input_);
        input_ = nullptr;
        kill(pid_, SIGTERM);
        int status = 0;
        for (int i = 0; i < 500; ++i) {
            if (waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = 0;
                return exitStatus_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        kill(pid_, SIGKILL);
        waitpid(pid_, &status, 0);
        pid_ = 0;
        return exitStatus_ = -1;
    }

  private:
    pid_t pid_ = -1;
    int exitStatus_ = -1;
    FILE* input_ = nullptr;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable arrived_;
    std::vector<Event> events_;
    std::size_t next_ = 0;
    std::mutex sourceMutex_;
    std::string source_;
};

} // namespace orvane::test
