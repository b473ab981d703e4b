#include "core/Json.h"

#include <gtest/gtest.h>
#include <string>

using namespace orvane;

TEST(Json, IntegersAboveTheSignedRangeAreRefusedRatherThanWrapped) {
    auto value = json::parse(R"({"n":18446744073709551615,"m":9223372036854775807})");
    EXPECT_THROW(json::requireInteger(value, "n", ""), JsonError);
    EXPECT_EQ(json::requireInteger(value, "m", ""), 9223372036854775807LL);
}

TEST(Json, DeepNestingIsRefusedBeforeTheLibraryCanRecurseOnIt) {
    // Members after a deep value make the library's ordered objects copy it, recursively.
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_THROW(json::parse("{\"a\":" + deep + ",\"b\":1,\"c\":2}"), JsonError);
    EXPECT_NO_THROW(json::parse(std::string(64, '[') + std::string(64, ']')));
    // Brackets inside strings do not count.
    EXPECT_NO_THROW(json::parse("[\"\\\"" + std::string(100, '[') + "\\\"\"]"));
}
