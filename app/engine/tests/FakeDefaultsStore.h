#pragma once

// An in-memory defaults store with the typed reads of the real one: a stored value of a fitting
// type, else the registered default, else false, 0 or absent. Booleans and reals convert into
// each other; strings convert to nothing else.

#include "engine/Platform.h"

#include <map>

namespace orvane::test {

class FakeDefaultsStore : public DefaultsStore {
  public:
    FakeDefaultsStore() = default;
    explicit FakeDefaultsStore(std::map<std::string, Value> stored) : stored_(std::move(stored)) {}

    void registerDefaults(const std::vector<std::pair<std::string, Value>>& defaults) override {
        for (const auto& [key, value] : defaults)
            registered_[key] = value;
    }

    bool boolValue(const std::string& key) const override {
        auto number = read(key, [](const Value& value) { return asNumber(value); });
        return number && *number != 0;
    }
    double doubleValue(const std::string& key) const override {
        return read(key, [](const Value& value) { return asNumber(value); }).value_or(0);
    }
    std::optional<std::string> stringValue(const std::string& key) const override {
        return read(key, [](const Value& value) -> std::optional<std::string> {
            if (auto text = std::get_if<std::string>(&value)) return *text;
            return std::nullopt;
        });
    }

    std::optional<Value> value(const std::string& key) const override {
        auto found = stored_.find(key);
        if (found == stored_.end()) return std::nullopt;
        return found->second;
    }
    std::vector<std::string> keys() const override {
        std::vector<std::string> result;
        for (const auto& entry : stored_)
            result.push_back(entry.first);
        return result;
    }
    void set(const std::string& key, const Value& value) override { stored_[key] = value; }
    void remove(const std::string& key) override { stored_.erase(key); }

    const std::map<std::string, Value>& stored() const { return stored_; }
    const std::map<std::string, Value>& registered() const { return registered_; }

  private:
    static std::optional<double> asNumber(const Value& value) {
        if (auto flag = std::get_if<bool>(&value)) return *flag ? 1.0 : 0.0;
        if (auto number = std::get_if<double>(&value)) return *number;
        return std::nullopt;
    }

    template <typename Convert>
    auto read(const std::string& key, Convert convert) const -> decltype(convert(Value{})) {
        for (const auto* values : {&stored_, &registered_}) {
            auto found = values->find(key);
            if (found == values->end()) continue;
            if (auto converted = convert(found->second)) return converted;
        }
        return std::nullopt;
    }

    std::map<std::string, Value> stored_;
    std::map<std::string, Value> registered_;
};

} // namespace orvane::test
