#include "core/Json.h"

#include <cmath>
#include <limits>

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
    // Unsigned integers also count as integers; above the signed range they would wrap to negative.
    if (value.is_number_unsigned() && value.get<unsigned long long>() > std::numeric_limits<long long>::max())
        throw JsonError(member(path, key), "integer out of range");
    if (value.is_number_integer()) return value.get<long long>();
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

// Our documents nest a few levels. The library parses without recursion, but copying a value (which
// its ordered objects do when they grow) recurses, so very deep input could overflow the stack.
static constexpr int maximumDepth = 64;

static bool nestsTooDeep(std::string_view text) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped) escaped = false;
            else if (c == '\\') escaped = true;
            else if (c == '"') inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > maximumDepth) return true;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return false;
}

Json parse(std::string_view text) {
    if (nestsTooDeep(text))
        throw JsonError("", "not valid JSON: nested more than " + std::to_string(maximumDepth) + " levels deep");
    try {
        return Json::parse(text.begin(), text.end());
    } catch (const nlohmann::ordered_json::exception& e) {
        // Syntax errors, and numbers too large for a double ("number overflow parsing '1e400'").
        // Drop the library's "[json.exception.parse_error.101] " prefix; keep the position and reason.
        std::string what = e.what();
        auto bracket = what.find("] ");
        throw JsonError("", "not valid JSON: " + (bracket == std::string::npos ? what : what.substr(bracket + 2)));
    }
}

std::string dump(const Json& value) { return value.dump(-1, ' ', false, Json::error_handler_t::replace); }

} // namespace json
} // namespace orvane
