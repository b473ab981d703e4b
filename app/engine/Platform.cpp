#include "engine/Platform.h"

#include <algorithm>
#include <cctype>
#include <charconv>

namespace orvane {

std::string_view toString(FocusMethod method) {
    switch (method) {
    case FocusMethod::windowManager: return "windowManager";
    case FocusMethod::inputFocus: return "inputFocus";
    case FocusMethod::pointerOnly: return "pointerOnly";
    }
    return "pointerOnly";
}

namespace {

std::optional<double> parseNumber(const std::string& text) {
    double number = 0;
    const char* end = text.data() + text.size();
    auto [stop, error] = std::from_chars(text.data(), end, number);
    if (error != std::errc() || stop != end || text.empty()) return std::nullopt;
    return number;
}

std::optional<bool> asBool(const DefaultsStore::Value& value) {
    if (auto flag = std::get_if<bool>(&value)) return *flag;
    if (auto number = std::get_if<double>(&value)) return *number != 0;
    std::string text = std::get<std::string>(value);
    std::transform(text.begin(), text.end(), text.begin(), [](unsigned char c) { return std::tolower(c); });
    if (text == "true" || text == "yes") return true;
    if (text == "false" || text == "no") return false;
    if (auto number = parseNumber(text)) return *number != 0;
    return std::nullopt;
}

std::optional<double> asDouble(const DefaultsStore::Value& value) {
    if (auto flag = std::get_if<bool>(&value)) return *flag ? 1.0 : 0.0;
    if (auto number = std::get_if<double>(&value)) return *number;
    return parseNumber(std::get<std::string>(value));
}

std::optional<std::string> asString(const DefaultsStore::Value& value) {
    if (auto text = std::get_if<std::string>(&value)) return *text;
    return std::nullopt;
}

} // namespace

void DefaultsStore::registerDefaults(const std::vector<std::pair<std::string, Value>>& defaults) {
    for (const auto& [key, value] : defaults)
        registered_[key] = value;
}

template <typename Convert>
auto DefaultsStore::read(const std::string& key, Convert convert) const -> decltype(convert(Value{})) {
    if (auto stored = value(key))
        if (auto converted = convert(*stored)) return converted;
    if (auto found = registered_.find(key); found != registered_.end())
        if (auto converted = convert(found->second)) return converted;
    return std::nullopt;
}

bool DefaultsStore::boolValue(const std::string& key) const {
    return read(key, asBool).value_or(false);
}

double DefaultsStore::doubleValue(const std::string& key) const {
    return read(key, asDouble).value_or(0);
}

std::optional<std::string> DefaultsStore::stringValue(const std::string& key) const {
    return read(key, asString);
}

} // namespace orvane
