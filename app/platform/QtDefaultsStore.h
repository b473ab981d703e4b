#pragma once

#include "engine/Platform.h"

#include <filesystem>
#include <map>
#include <memory>

class QSettings;

namespace orvane {

// The per-user defaults store as an INI file read and written through QSettings. INI keeps text
// only: booleans are written "true"/"false", reals in their shortest exact form, and typed reads
// convert the text back. Every change is on disk when the call returns.
class QtDefaultsStore : public DefaultsStore {
  public:
    // The program's own store is Paths::defaultsFile(); the migration opens the former product's
    // file the same way. Nothing is created until a value is written.
    explicit QtDefaultsStore(const std::filesystem::path& file);
    ~QtDefaultsStore() override;

    void registerDefaults(const std::vector<std::pair<std::string, Value>>& defaults) override;
    bool boolValue(const std::string& key) const override;
    double doubleValue(const std::string& key) const override;
    std::optional<std::string> stringValue(const std::string& key) const override;
    // Text as stored; booleans and numbers too, since the file holds no types.
    std::optional<Value> value(const std::string& key) const override;
    std::vector<std::string> keys() const override;
    void set(const std::string& key, const Value& value) override;
    void remove(const std::string& key) override;

  private:
    template <typename Convert>
    auto read(const std::string& key, Convert convert) const -> decltype(convert(Value{}));
    void save();

    std::filesystem::path file_;
    std::unique_ptr<QSettings> settings_;
    std::map<std::string, Value> registered_;
};

} // namespace orvane
