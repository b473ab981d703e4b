#include "engine/ProfileStore.h"

#include "engine/Paths.h"

#include <cctype>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvane {

namespace {

std::string describe(const std::string& what, const std::filesystem::path& path, int error) {
    return what + " " + path.string() + ": " + std::strerror(error);
}

// Temporary files are hidden and never end in ".json", so a load can never pick one up.
std::string temporaryTemplate(const std::string& name) {
    return "." + name + ".XXXXXX";
}

// What a save killed half-way leaves behind: "." + 16 hex digits + ".json." + 6 characters.
bool isTemporaryName(const std::string& name) {
    if (name.size() != 1 + 16 + 6 + 6 || name[0] != '.' || name.compare(17, 6, ".json.") != 0) return false;
    for (std::size_t i = 1; i <= 16; ++i)
        if (!std::isxdigit(static_cast<unsigned char>(name[i]))) return false;
    return true;
}

std::optional<std::string> writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR) continue;
            return std::string(std::strerror(errno));
        }
        bytes.remove_prefix(std::size_t(written));
    }
    return std::nullopt;
}

std::optional<std::string> readAll(const std::filesystem::path& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::string text;
    char buffer[65536];
    for (;;) {
        ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            ::close(fd);
            return std::nullopt;
        }
        if (got == 0) break;
        text.append(buffer, std::size_t(got));
    }
    ::close(fd);
    return text;
}

// Leftovers of saves interrupted by a crash; nothing else in the folder is touched.
void removeTemporaryFiles(const std::filesystem::path& directory) {
    std::error_code error;
    for (std::filesystem::directory_iterator it(directory, error), end; !error && it != end;
         it.increment(error))
        if (isTemporaryName(it->path().filename().string())) ::unlink(it->path().c_str());
}

} // namespace

ProfileStore::ProfileStore(std::filesystem::path directory, Log& log)
    : directory_(std::move(directory)), log_(log, "profiles") {
    if (!createPrivateFolders(directory_)) removeTemporaryFiles(directory_);
}

std::string ProfileStore::fileName(const std::string& key) {
    std::uint64_t hash = 0xcbf29ce484222325ull;
    for (unsigned char byte : key) {
        hash ^= byte;
        hash *= 0x100000001b3ull;
    }
    char name[32];
    std::snprintf(name, sizeof name, "%016llx.json", static_cast<unsigned long long>(hash));
    return name;
}

std::optional<CalibrationProfile> ProfileStore::load(const std::string& key) const {
    auto text = readAll(directory_ / fileName(key));
    if (!text) return std::nullopt;
    auto decoded = decodeProfile(*text);
    if (!decoded) {
        log_.error("Could not read profile: " + decoded.error);
        return std::nullopt;
    }
    if (decoded.value->version != CalibrationProfile::currentVersion) return std::nullopt;
    return std::move(decoded.value);
}

void ProfileStore::save(const CalibrationProfile& profile) {
    queue_.post([this, profile] { write(profile); });
}

void ProfileStore::flush() {
    queue_.sync();
}

void ProfileStore::write(const CalibrationProfile& profile) const {
    auto fail = [this](const std::string& reason) { log_.error("Could not save profile: " + reason); };

    auto encoded = encodeProfile(profile);
    if (!encoded) return fail(encoded.error);

    // The folder may have been removed while the program runs.
    if (auto error = createPrivateFolders(directory_))
        return fail("could not create folder " + directory_.string() + ": " + error.message());

    const std::string name = fileName(CalibrationProfile::key(profile.screenIDs()));
    const auto target = directory_ / name;
    std::string temporary = (directory_ / temporaryTemplate(name)).string();

    // mkostemp creates the file with mode 0600.
    int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
    if (fd < 0) return fail(describe("could not create", temporary, errno));

    std::optional<std::string> problem;
    if (auto error = writeAll(fd, *encoded.value))
        problem = "could not write " + temporary + ": " + *error;
    else if (::fsync(fd) != 0)
        problem = describe("could not sync", temporary, errno);
    if (::close(fd) != 0 && !problem) problem = describe("could not close", temporary, errno);
    if (!problem && ::rename(temporary.c_str(), target.c_str()) != 0)
        problem = describe("could not replace", target, errno);
    if (problem) {
        ::unlink(temporary.c_str());
        return fail(*problem);
    }

    // The rename itself is durable only once the folder is synced.
    int folder = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return fail(describe("could not open folder", directory_, errno));
    if (::fsync(folder) != 0) problem = describe("could not sync folder", directory_, errno);
    ::close(folder);
    if (problem) fail(*problem);
}

} // namespace orvane
