#pragma once

#include "engine/Platform.h"

#include <filesystem>
#include <memory>

class QSettings;

namespace orvane {

// The per-user defaults store as an INI file read and written through QSettings. INI keeps text
// only: booleans are written "true"/"false", reals in their shortest exact form, and the typed reads
// convert the text back. Every change is on disk when the call returns.
class QtDefaultsStore : public DefaultsStore {
  public:
    // The program's own store is Paths::defaultsFile(); the migration opens the former product's
    // file the same way. Nothing is created until a value is written.
    explicit QtDefaultsStore(const std::filesystem::path& file);
    ~QtDefaultsStore() override;

    // Text as stored; booleans and numbers too, since the file holds no types.
    std::optional<Value> value(const std::string& key) const override;
    std::vector<std::string> keys() const override;
    void set(const std::string& key, const Value& value) override;
    void remove(const std::string& key) override;

  private:
    void save();

    std::filesystem::path file_;
    std::unique_ptr<QSettings> settings_;
};

} // namespace orvane
