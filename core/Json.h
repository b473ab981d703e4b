#pragma once

// Shared helpers for the JSON forms of core values: strict readers that name the failing key,
// writers that refuse non-finite numbers instead of writing null.

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

namespace orvane {

// The outcome of decoding or encoding: a value, or the first error's description.
template <typename T>
struct JsonResult {
    std::optional<T> value;
    std::string error;

    static JsonResult success(T v) { return {std::move(v), {}}; }
    static JsonResult failure(std::string message) { return {std::nullopt, std::move(message)}; }
    explicit operator bool() const { return value.has_value(); }
};

// Thrown inside decoders and encoders only; the public entry points turn it into a JsonResult.
class JsonError : public std::runtime_error {
public:
    JsonError(const std::string& path, const std::string& reason);
};

namespace json {

// Ordered, so that writers keep the documented field order.
using Json = nlohmann::ordered_json;

// Path of a member or element, for error messages: "calibrationSamples[3].pose".
std::string member(const std::string& path, std::string_view key);
std::string element(const std::string& path, std::size_t index);

const Json& requireObject(const Json& value, const std::string& path);
const Json& requireMember(const Json& object, std::string_view key, const std::string& path);
double requireNumber(const Json& object, std::string_view key, const std::string& path);
double requireNumber(const Json& value, const std::string& path);
long long requireInteger(const Json& object, std::string_view key, const std::string& path);
std::string requireString(const Json& object, std::string_view key, const std::string& path);
std::string requireString(const Json& value, const std::string& path);
const Json& requireArray(const Json& object, std::string_view key, const std::string& path);

// A number for writing; throws JsonError when it is NaN or infinite.
double finite(double value, const std::string& path);

// Parses text strictly (no comments, valid UTF-8); throws JsonError on malformed input.
Json parse(std::string_view text);

// Compact output; invalid UTF-8 in strings is replaced rather than failing the whole document.
std::string dump(const Json& value);

// Runs a decoder or encoder body and turns a JsonError (or a library error) into a failed result.
template <typename T, typename Body>
JsonResult<T> capture(Body&& body) {
    try {
        return JsonResult<T>::success(body());
    } catch (const JsonError& e) {
        return JsonResult<T>::failure(e.what());
    } catch (const nlohmann::ordered_json::exception& e) {
        return JsonResult<T>::failure(e.what());
    }
}

} // namespace json
} // namespace orvane
