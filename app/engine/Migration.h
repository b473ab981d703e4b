#pragma once

#include "engine/Platform.h"

#include <filesystem>

namespace orvane {

// The one-time import of the former product's (Peltrix) preferences and calibration profiles.
// Runs before anything else exists, on the main thread.
class Migration {
  public:
    // The marker key in the program's own defaults; once true, later runs do nothing.
    static constexpr const char* markerKey = "migratedFromPeltrix";

    // Copies each former preference the program has no value for, and each former profile file whose
    // name is free in `profiles`; nothing is overwritten, moved or deleted. `former` is absent when the
    // former product left no preferences. File errors are ignored; the marker is set regardless.
    static void run(DefaultsStore& defaults, const DefaultsStore* former,
                    const std::filesystem::path& formerProfiles, const std::filesystem::path& profiles);
};

} // namespace orvane
