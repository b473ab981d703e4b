#include "engine/Migration.h"

#include "engine/Paths.h"

#include <system_error>

namespace orvane {

namespace {

void copyProfiles(const std::filesystem::path& source, const std::filesystem::path& target) {
    namespace fs = std::filesystem;
    std::error_code error;
    if (!fs::exists(source, error)) return;
    createPrivateFolders(target);
    // An unreadable source counts as empty; every failed copy is skipped.
    for (fs::directory_iterator it(source, error), end; !error && it != end; it.increment(error)) {
        const auto destination = target / it->path().filename();
        std::error_code ignored;
        if (fs::exists(fs::symlink_status(destination, ignored))) continue;
        // Without options, copying never replaces an entry that appeared meanwhile.
        fs::copy(it->path(), destination, fs::copy_options::recursive, ignored);
        if (!ignored && fs::is_regular_file(fs::symlink_status(destination, ignored)))
            fs::permissions(destination, fs::perms::owner_read | fs::perms::owner_write, ignored);
    }
}

} // namespace

void Migration::run(DefaultsStore& defaults, const DefaultsStore* former,
                    const std::filesystem::path& formerProfiles, const std::filesystem::path& profiles) {
    if (defaults.boolValue(markerKey)) return;

    if (former)
        for (const auto& key : former->keys()) {
            if (defaults.value(key)) continue;
            if (auto value = former->value(key)) defaults.set(key, *value);
        }

    copyProfiles(formerProfiles, profiles);
    defaults.set(markerKey, true);
}

} // namespace orvane
