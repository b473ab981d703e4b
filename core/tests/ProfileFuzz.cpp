// Any input either fails to decode with a message, or is valid JSON that decodes to a profile
// which encodes and decodes again to the same profile.

#include "core/CalibrationProfile.h"

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    auto first = orvane::decodeProfile(text);
    if (!first) {
        if (first.error.empty()) __builtin_trap();
        return 0;
    }
    // The decoder must never be laxer than the reference parser.
    if (!nlohmann::json::accept(text)) __builtin_trap();
    auto encoded = orvane::encodeProfile(*first.value);
    if (!encoded) __builtin_trap();
    auto second = orvane::decodeProfile(*encoded.value);
    if (!second || !(*second.value == *first.value)) __builtin_trap();
    return 0;
}
