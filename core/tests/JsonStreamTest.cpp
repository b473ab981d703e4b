#include "core/JsonStream.h"

#include <cmath>
#include <gtest/gtest.h>
#include <limits>

using namespace orvane;
using json::Path;
using json::Reader;

namespace {

// Reads one whole document as a string value, or nullopt when the reader refuses it.
std::optional<std::string> readString(std::string_view text) {
    try {
        Reader in(text);
        std::string out;
        in.readString(out, Path());
        in.finish();
        return out;
    } catch (const JsonError&) {
        return std::nullopt;
    }
}

bool accepts(std::string_view text) {
    try {
        Reader in(text);
        in.skipValue();
        in.finish();
        return true;
    } catch (const JsonError&) {
        return false;
    }
}

std::string written(std::string_view value) {
    json::Writer out;
    out.string(value);
    return out.take();
}

} // namespace

TEST(JsonStream, AcceptsExactlyWhatTheJsonGrammarAllows) {
    // The library is the reference; it also takes a byte-order mark, which we do not write.
    for (const char* text : {"0", "-0", "12", "-1.5e+3", "1E2", "0.25", "true", "false", "null", " [ ] ",
                             "{}", "[1,[2,{}],\"x\"]", "{\"a\":{\"b\":[null,true]},\"a\":1}",
                             "\"\\u00e9\\ud83d\\ude00\\/\\b\\f\\n\\r\\t\"", "\t\r\n1\n"}) {
        EXPECT_TRUE(accepts(text)) << text;
        EXPECT_TRUE(nlohmann::json::accept(text)) << text;
    }
    for (const char* text : {"",
                             " ",
                             "01",
                             "1.",
                             ".5",
                             "+1",
                             "1e",
                             "1e+",
                             "-",
                             "--1",
                             "0x10",
                             "nul",
                             "tru",
                             "falsey",
                             "NaN",
                             "[1,]",
                             "[,1]",
                             "{,}",
                             "{\"a\":1,}",
                             "{\"a\" 1}",
                             "{a:1}",
                             "{'a':1}",
                             "[1 2]",
                             "[",
                             "]",
                             "{\"a\":1}}",
                             "1 2",
                             "\"abc",
                             "\"\\x\"",
                             "\"\\u12\"",
                             "\"\\ud800\"",
                             "\"\\udc00\"",
                             "\"\\ud800\\u0041\"",
                             "\"a\nb\"",
                             "\"\xff\"",
                             "\"\xc0\xaf\"",
                             "\"\xe0\x80\xaf\"",
                             "\"\xed\xa0\x80\"",
                             "\"\xf4\x90\x80\x80\"",
                             "\"\xe2\x82\"",
                             "/*x*/1"}) {
        EXPECT_FALSE(accepts(text)) << text;
        EXPECT_FALSE(nlohmann::json::accept(text)) << text;
    }
    EXPECT_FALSE(accepts("\xef\xbb\xbf{}"));
}

TEST(JsonStream, StringsDecodeLikeTheLibraryDecodesThem) {
    for (std::string text :
         {"\"plain\"", "\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\u0000\\u001f\\u00e9\\u20ac\"",
          "\"\\ud83d\\ude00 \xf0\x9f\x98\x80 \xc3\xa9 \xe2\x82\xac\"", "\"\\uDBFF\\uDFFF\""}) {
        auto ours = readString(text);
        ASSERT_TRUE(ours) << text;
        EXPECT_EQ(*ours, nlohmann::json::parse(text).get<std::string>()) << text;
    }
}

TEST(JsonStream, WrittenStringsAreEscapedAndInvalidBytesReplaced) {
    EXPECT_EQ(written("a\"b\\c\n\x01\x1f\x7f"), "\"a\\\"b\\\\c\\n\\u0001\\u001f\x7f\"");
    EXPECT_EQ(written("\xc3\xa9\xf0\x9f\x98\x80"), "\"\xc3\xa9\xf0\x9f\x98\x80\"");
    EXPECT_EQ(written("x\xff\xc3"), "\"x\xef\xbf\xbd\xef\xbf\xbd\"");
    EXPECT_EQ(written("\xed\xa0\x80"), "\"\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\"");
    // Every byte value survives a round trip through the library, replaced or not.
    std::string all;
    for (int c = 1; c < 256; ++c)
        all += char(c);
    EXPECT_NO_THROW(nlohmann::json::parse(written(all)));
    const std::string nuls("a\0b\0", 4);
    EXPECT_EQ(readString(written(nuls)), nuls);
}

TEST(JsonStream, NumbersReadBackBitForBit) {
    const double values[] = {0.1 + 0.2, -0.0,
                             5e-324,    2.2250738585072014e-308,
                             1e308,     -1.7976931348623157e308,
                             1.0 / 3.0, 123456789012345680.0,
                             1e21,      1e-7,
                             42};
    json::Writer out;
    out.beginArray();
    for (double v : values)
        out.number(v, Path());
    out.endArray();
    std::string text = out.take();

    Reader in(text);
    in.beginArray(Path());
    for (double v : values) {
        ASSERT_TRUE(in.nextElement());
        double back = in.readNumber(Path());
        EXPECT_EQ(back, v);
        EXPECT_EQ(std::signbit(back), std::signbit(v));
    }
    EXPECT_FALSE(in.nextElement());
    EXPECT_EQ(nlohmann::json::parse(text).size(), std::size(values));
}

TEST(JsonStream, ErrorsNameThePathAndThePlace) {
    Path root;
    Path samples = root.member("samples");
    Path sample = samples.element(3);
    Path pose = sample.member("pose");
    EXPECT_EQ(pose.member("roll").text(), "samples[3].pose.roll");
    EXPECT_EQ(root.text(), "");

    auto error = [&](std::string_view text, auto read) {
        try {
            Reader in(text);
            read(in);
        } catch (const JsonError& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(error("\"1\"", [&](Reader& in) { in.readNumber(sample); }),
              "\"samples[3]\": expected a number, found a string");
    std::string sink;
    EXPECT_EQ(error("null", [&](Reader& in) { in.readString(sink, sample); }), "\"samples[3]\": is null");
    EXPECT_EQ(error("1e400", [&](Reader& in) { in.readNumber(sample); }),
              "\"samples[3]\": number out of range");
    EXPECT_EQ(error("2.0", [&](Reader& in) { in.readInteger(sample); }),
              "\"samples[3]\": expected an integer, found 2.0");
    EXPECT_EQ(error("[1,2", [&](Reader& in) { in.skipValue(); }),
              "not valid JSON: expected ',' or ']' at byte 4");

    json::Writer out;
    EXPECT_THROW(out.number(std::numeric_limits<double>::quiet_NaN(), sample), JsonError);
    EXPECT_EQ(error("", [&](Reader&) { out.number(INFINITY, sample.member("x")); }),
              "\"samples[3].x\": cannot store a number that is not finite");
}
