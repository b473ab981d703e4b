#include "core/JsonStream.h"

#include <gtest/gtest.h>

using namespace orvane;
using json::Path;
using json::Reader;

namespace {

// Reads one whole document with `read`; the error message, or "" when it was accepted.
template <typename Read> std::string errorOf(std::string_view text, Read read) {
    try {
        Reader in(text);
        read(in);
        in.finish();
        return "";
    } catch (const JsonError& e) {
        return e.what();
    }
}

} // namespace

TEST(JsonStream, AcceptsExactlyWhatTheJsonGrammarAllows) {
    auto accepts = [](std::string_view text) {
        return errorOf(text, [](Reader& in) { in.skipValue(); }).empty();
    };
    auto expect = [&](bool accepted, std::initializer_list<std::string> texts) {
        for (const auto& text : texts) { // the library is the reference
            EXPECT_EQ(accepts(text), accepted) << text;
            EXPECT_EQ(nlohmann::json::accept(text), accepted) << text;
        }
    };
    expect(true, {"0", "-0", "-1.5e+3", "1E2", "0.25", "9", "[9.5e-7]", "true", "null", " [ ] ", "{}",
                  "[1,[2,{}],\"x\"]", "{\"a\":{\"b\":[null,true]},\"a\":1}",
                  "\"\\u00e9\\ud83d\\ude00\\/\\b\\f\\n\\r\\t\"", "\t\r\n1\n"});
    expect(false,
           {"01", "1.", ".5", "+1", "1e", "-", "0x10", "nul", "falsey", "NaN", "[1,]", "[,1]", "{,}",
            "{\"a\":1,}", "{\"a\" 1}", "{a:1}", "{'a':1}", "[1 2]", "[", "]", "{\"a\":1}}", "1 2", "/*x*/1",
            // Numbers no double can hold, however deep in the document.
            "1e400", "-1e400", "{\"x\":[1e33333333333333333333333]}", "1" + std::string(400, '0')});
    expect(false, {"\"abc", "\"\\x\"", "\"\\u12\"", "\"\\ud800\"", "\"\\udc00\"", "\"\\udfff\"",
                   "\"\\ud800\\u0041\"", "\"a\nb\"", "\"\xff\"", "\"\xc0\xaf\"", "\"\xe0\x80\xaf\"",
                   "\"\xed\xa0\x80\"", "\"\xf4\x90\x80\x80\"", "\"\xe2\x82\"", "", " "});
    EXPECT_FALSE(accepts("\xef\xbb\xbf{}")); // the library takes a byte-order mark; we never write one
}

TEST(JsonStream, StringsDecodeLikeTheLibraryDecodesThem) {
    for (std::string text : {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\u0000\\u001f\\u00e9\\u20ac\"",
                             "\"\\u007f\\u0080\\u07ff\\u0800\\uffff\"",
                             "\"\\ud83d\\ude00 \xf0\x9f\x98\x80 \xc3\xa9\"", "\"\\uDBFF\\uDFFF\""}) {
        std::string ours;
        EXPECT_EQ(errorOf(text, [&](Reader& in) { in.readString(ours, Path()); }), "");
        EXPECT_EQ(ours, nlohmann::json::parse(text).get<std::string>()) << text;
    }
}

TEST(JsonStream, WrittenStringsAreEscapedAndInvalidBytesReplaced) {
    auto written = [](std::string_view value) {
        json::Writer out;
        out.string(value);
        return out.take();
    };
    EXPECT_EQ(written("a\"b\\c\n\x01\x1f\x7f"), "\"a\\\"b\\\\c\\n\\u0001\\u001f\x7f\"");
    EXPECT_EQ(written("\xc3\xa9\xf0\x9f\x98\x80"), "\"\xc3\xa9\xf0\x9f\x98\x80\"");
    EXPECT_EQ(written("x\xff\xc3"), "\"x\xef\xbf\xbd\xef\xbf\xbd\"");
    std::string all; // every byte value, replaced or not, still makes valid JSON
    for (int c = 1; c < 256; ++c)
        all += char(c);
    EXPECT_TRUE(nlohmann::json::accept(written(all)));
}

TEST(Json, WrappingIntegersAndDeepNestingAreRefusedBeforeTheLibraryMishandlesThem) {
    auto value = json::parse(R"({"n":18446744073709551615,"m":9223372036854775807})");
    EXPECT_THROW(json::requireInteger(value, "n", ""), JsonError);
    EXPECT_EQ(json::requireInteger(value, "m", ""), 9223372036854775807LL);
    // Members after a deep value make the library's ordered objects copy it, recursively.
    std::string deep = std::string(100000, '[') + std::string(100000, ']');
    EXPECT_THROW(json::parse("{\"a\":" + deep + ",\"b\":1,\"c\":2}"), JsonError);
    EXPECT_NO_THROW(json::parse(std::string(64, '[') + std::string(64, ']')));
    EXPECT_NO_THROW(json::parse("[\"\\\"" + std::string(100, '[') + "\\\"\"]")); // brackets in a string
}
