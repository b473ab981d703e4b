// The crash test's victim: saves writer profiles in an endless loop until it is killed, and writes one
// byte to its standard output after each save is on disk. Usage: profile_writer FOLDER FIRST-NUMBER

#include "WriterProfile.h"
#include "engine/ProfileStore.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

// Any failure to save is a finding: report it through the exit status.
struct FailingLog : orvane::Log {
    void write(std::string_view, orvane::LogLevel, std::string_view message) override {
        std::fprintf(stderr, "%.*s\n", int(message.size()), message.data());
        std::_Exit(2);
    }
};

int main(int argc, char** argv) {
    if (argc != 3) return 1;
    FailingLog log;
    orvane::ProfileStore store(argv[1], log);
    for (long long number = std::atoll(argv[2]);; ++number) {
        store.save(orvane::test::writerProfile(number));
        store.flush();
        if (write(STDOUT_FILENO, "s", 1) != 1) return 3;
    }
}
