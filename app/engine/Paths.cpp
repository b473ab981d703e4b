#include "engine/Paths.h"

#include <cerrno>
#include <cstdlib>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace orvane {

namespace {

std::optional<std::filesystem::path> absolute(const std::optional<std::string>& value) {
    if (!value || value->empty() || (*value)[0] != '/') return std::nullopt;
    return std::filesystem::path(*value);
}

std::optional<std::string> passwordDatabaseHome() {
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? std::size_t(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) != 0 || !found || !found->pw_dir)
        return std::nullopt;
    return std::string(found->pw_dir);
}

} // namespace

std::optional<Paths> Paths::resolve(const Environment& environment,
                                    const std::optional<std::string>& passwordHome) {
    auto home = absolute(environment("HOME"));
    if (!home) home = absolute(passwordHome);

    auto folder = [&](const char* variable, const char* underHome) -> std::optional<std::filesystem::path> {
        if (auto value = absolute(environment(variable))) return value;
        if (home) return *home / underHome;
        return std::nullopt;
    };
    auto data = folder("XDG_DATA_HOME", ".local/share");
    auto config = folder("XDG_CONFIG_HOME", ".config");
    auto state = folder("XDG_STATE_HOME", ".local/state");
    if (!data || !config || !state) return std::nullopt;
    return Paths{*data, *config, *state};
}

std::optional<Paths> Paths::fromEnvironment() {
    auto environment = [](const char* name) -> std::optional<std::string> {
        const char* value = std::getenv(name);
        if (!value) return std::nullopt;
        return std::string(value);
    };
    return resolve(environment, passwordDatabaseHome());
}

std::error_code createPrivateFolders(const std::filesystem::path& folder) {
    std::filesystem::path prefix;
    for (const auto& part : folder.lexically_normal()) {
        prefix /= part;
        if (part.empty() || part == "/") continue;
        if (mkdir(prefix.c_str(), 0700) == 0) continue;
        const int error = errno;
        struct stat info {};
        // An existing folder may also answer EACCES when its parent is not writable.
        if (stat(prefix.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) continue;
        return std::error_code(error == EEXIST ? ENOTDIR : error, std::generic_category());
    }
    return {};
}

} // namespace orvane
