#include "core/Json.h"

#include <cmath>

namespace orvane {

JsonError::JsonError(const std::string& path, const std::string& reason)
    : std::runtime_error(path.empty() ? reason : "\"" + path + "\": " + reason) {}

namespace json {

std::string member(const std::string& path, std::string_view key) {
    return path.empty() ? std::string(key) : path + "." + std::string(key);
}

std::string element(const std::string& path, std::size_t index) {
    return path + "[" + std::to_string(index) + "]";
}

static const char* typeName(const Json& value) { return value.type_name(); }

const Json& requireObject(const Json& value, const std::string& path) {
    if (!value.is_object()) throw JsonError(path, std::string("expected an object, found ") + typeName(value));
    return value;
}

const Json& requireMember(const Json& object, std::string_view key, const std::string& path) {
    requireObject(object, path);
    auto it = object.find(key);
    if (it == object.end()) throw JsonError(member(path, key), "missing");
    if (it->is_null()) throw JsonError(member(path, key), "is null");
    return *it;
}

double requireNumber(const Json& value, const std::string& path) {
    if (!value.is_number()) throw JsonError(path, std::string("expected a number, found ") + typeName(value));
    double number = value.get<double>();
    if (!std::isfinite(number)) throw JsonError(path, "number out of range");
    return number;
}

double requireNumber(const Json& object, std::string_view key, const std::string& path) {
    return requireNumber(requireMember(object, key, path), member(path, key));
}

long long requireInteger(const Json& object, std::string_view key, const std::string& path) {
    const Json& value = requireMember(object, key, path);
    if (value.is_number_integer()) return value.get<long long>();
    if (value.is_number_unsigned()) throw JsonError(member(path, key), "integer out of range");
    throw JsonError(member(path, key), std::string("expected an integer, found ") + typeName(value));
}

std::string requireString(const Json& value, const std::string& path) {
    if (!value.is_string()) throw JsonError(path, std::string("expected a string, found ") + typeName(value));
    return value.get<std::string>();
}

std::string requireString(const Json& object, std::string_view key, const std::string& path) {
    return requireString(requireMember(object, key, path), member(path, key));
}

const Json& requireArray(const Json& object, std::string_view key, const std::string& path) {
    const Json& value = requireMember(object, key, path);
    if (!value.is_array())
        throw JsonError(member(path, key), std::string("expected an array, found ") + typeName(value));
    return value;
}

double finite(double value, const std::string& path) {
    if (!std::isfinite(value)) throw JsonError(path, "cannot store a number that is not finite");
    return value;
}

Json parse(std::string_view text) {
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const nlohmann::ordered_json::parse_error& e) {
        // Drop the library's "[json.exception.parse_error.101] " prefix; keep the position and reason.
        std::string what = e.what();
        auto bracket = what.find("] ");
        throw JsonError("", "not valid JSON: " + (bracket == std::string::npos ? what : what.substr(bracket + 2)));
    }
}

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

} // namespace json
} // namespace orvane
