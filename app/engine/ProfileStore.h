#pragma once

#include "core/CalibrationProfile.h"
#include "engine/Log.h"
#include "engine/SerialQueue.h"

#include <filesystem>
#include <optional>
#include <string>

namespace orvane {

// Calibration profiles as JSON files, one per set of displays. Loads run on the caller's thread;
// saves are written on the store's own queue, atomically and durably, so a reader (or a crash)
// sees either the previous file or the new one, never a mix.
class ProfileStore {
  public:
    // Creates the folder (0700, with missing parents) when it is missing; a failure shows up in saves.
    ProfileStore(std::filesystem::path directory, Log& log);
    // Writes every save queued so far before returning.
    ~ProfileStore() = default;
    ProfileStore(const ProfileStore&) = delete;
    ProfileStore& operator=(const ProfileStore&) = delete;

    // The stored profile for a key (CalibrationProfile::key); absent when there is none, when the file
    // cannot be decoded (logged) or when it holds another version. Does not wait for queued saves.
    std::optional<CalibrationProfile> load(const std::string& key) const;

    // Copies the profile and queues its write; returns at once. May be called from any thread.
    void save(const CalibrationProfile& profile);

    // Blocks until every save queued before the call is on disk. Not from the store's queue.
    void flush();

    // "%016llx.json" of the key's 64-bit FNV-1a hash over its UTF-8 bytes.
    static std::string fileName(const std::string& key);

    const std::filesystem::path& directory() const { return directory_; }

  private:
    void write(const CalibrationProfile& profile) const;

    std::filesystem::path directory_;
    Logger log_;
    // Last, so that it is drained while the members its tasks use still exist.
    SerialQueue queue_{"orvane.profiles", QueuePriority::utility};
};

} // namespace orvane
