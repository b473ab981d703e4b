// Saves writer profiles in an endless loop until it is killed: the crash test's victim.
// Usage: profile_writer FOLDER FIRST-NUMBER

#include "WriterProfile.h"
#include "engine/ProfileStore.h"

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

// Any failure to save is a finding: report it through the exit status.
class FailingLog : public orvane::Log {
  public:
    void write(std::string_view category, orvane::LogLevel, std::string_view message) override {
        std::fprintf(stderr, "%.*s: %.*s\n", int(category.size()), category.data(), int(message.size()),
                     message.data());
        std::_Exit(2);
    }
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: profile_writer FOLDER FIRST-NUMBER\n");
        return 1;
    }
    FailingLog log;
    orvane::ProfileStore store(argv[1], log);
    for (long long number = std::atoll(argv[2]);; ++number) {
        store.save(orvane::test::writerProfile(number));
        store.flush();
    }
}
