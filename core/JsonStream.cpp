#include "core/JsonStream.h"

#include <charconv>
#include <cmath>
#include <utility>

namespace orvane::json {

std::string Path::text() const {
    if (!parent) return {};
    return key.empty() ? json::element(parent->text(), index) : json::member(parent->text(), key);
}

namespace {

// Length of the valid multi-byte UTF-8 sequence at `at`, or 0: no overlong forms, no surrogates,
// nothing above U+10FFFF.
std::size_t utf8Sequence(std::string_view s, std::size_t at) {
    auto byte = [&](std::size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
    unsigned lead = byte(at), low = 0x80, high = 0xBF;
    std::size_t length;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) low = 0xA0;
        if (lead == 0xED) high = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) low = 0x90;
        if (lead == 0xF4) high = 0x8F;
    } else {
        return 0;
    }
    if (byte(at + 1) < low || byte(at + 1) > high) return 0;
    for (std::size_t i = 2; i < length; ++i)
        if ((byte(at + i) & 0xC0) != 0x80) return 0;
    return length;
}

void appendUtf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | cp >> 6);
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | cp >> 12);
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | cp >> 18);
        out += char(0x80 | (cp >> 12 & 0x3F));
        out += char(0x80 | (cp >> 6 & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

const char* describe(Reader::Kind kind) {
    switch (kind) {
    case Reader::Kind::null:
        return "null";
    case Reader::Kind::boolean:
        return "a boolean";
    case Reader::Kind::number:
        return "a number";
    case Reader::Kind::string:
        return "a string";
    case Reader::Kind::array:
        return "an array";
    case Reader::Kind::object:
        return "an object";
    }
    return "a value";
}

} // namespace

// Reader

void Reader::fail(std::string_view what) const {
    throw JsonError("", "not valid JSON: " + std::string(what) + " at byte " + std::to_string(at));
}

void Reader::skipSpace() {
    while (at < text.size() && (text[at] == ' ' || text[at] == '\n' || text[at] == '\r' || text[at] == '\t'))
        ++at;
}

bool Reader::consume(char c) {
    if (at >= text.size() || text[at] != c) return false;
    ++at;
    return true;
}

Reader::Kind Reader::peek() {
    skipSpace();
    if (at >= text.size()) fail("unexpected end");
    switch (text[at]) {
    case '{':
        return Kind::object;
    case '[':
        return Kind::array;
    case '"':
        return Kind::string;
    case 't':
    case 'f':
        return Kind::boolean;
    case 'n':
        return Kind::null;
    default:
        if (text[at] == '-' || (text[at] >= '0' && text[at] <= '9')) return Kind::number;
        fail("unexpected character");
    }
}

void Reader::expect(Kind kind, const Path& path) {
    Kind found = peek();
    if (found == kind) return;
    if (found == Kind::null) throw JsonError(path.text(), "is null");
    throw JsonError(path.text(), std::string("expected ") + describe(kind) + ", found " + describe(found));
}

void Reader::beginObject(const Path& path) {
    expect(Kind::object, path);
    ++at;
    if (++depth > maximumDepth) fail("nested too deeply");
    justOpened = true;
}

bool Reader::nextMember() {
    skipSpace();
    bool first = std::exchange(justOpened, false);
    if (consume('}')) {
        --depth;
        return false;
    }
    if (!first && !consume(',')) fail("expected ',' or '}'");
    skipSpace();
    if (!consume('"')) fail("expected a key");
    stringBody(currentKey);
    skipSpace();
    if (!consume(':')) fail("expected ':'");
    return true;
}

void Reader::beginArray(const Path& path) {
    expect(Kind::array, path);
    ++at;
    if (++depth > maximumDepth) fail("nested too deeply");
    justOpened = true;
}

bool Reader::nextElement() {
    skipSpace();
    bool first = std::exchange(justOpened, false);
    if (consume(']')) {
        --depth;
        return false;
    }
    if (!first && !consume(',')) fail("expected ',' or ']'");
    return true;
}

// -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
std::string_view Reader::numberToken() {
    auto isDigit = [&] { return at < text.size() && text[at] >= '0' && text[at] <= '9'; };
    auto digits = [&] {
        if (!isDigit()) fail("invalid number");
        while (isDigit())
            ++at;
    };
    std::size_t start = at;
    consume('-');
    if (!consume('0')) digits();
    if (consume('.')) digits();
    if (consume('e') || consume('E')) {
        if (!consume('+')) consume('-');
        digits();
    }
    return text.substr(start, at - start);
}

double Reader::readNumber(const Path& path) {
    expect(Kind::number, path);
    auto token = numberToken();
    double value = 0;
    auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error == std::errc::result_out_of_range) throw JsonError(path.text(), "number out of range");
    if (error != std::errc() || end != token.data() + token.size()) fail("invalid number");
    return value;
}

long long Reader::readInteger(const Path& path) {
    expect(Kind::number, path);
    auto token = numberToken();
    if (token.find_first_of(".eE") != std::string_view::npos)
        throw JsonError(path.text(), "expected an integer, found " + std::string(token));
    long long value = 0;
    auto [end, error] = std::from_chars(token.data(), token.data() + token.size(), value);
    if (error == std::errc::result_out_of_range) throw JsonError(path.text(), "integer out of range");
    if (error != std::errc() || end != token.data() + token.size()) fail("invalid number");
    return value;
}

void Reader::readString(std::string& out, const Path& path) {
    expect(Kind::string, path);
    ++at;
    stringBody(out);
}

unsigned Reader::hex4() {
    if (text.size() - at < 4) fail("invalid \\u escape");
    unsigned value = 0;
    for (int i = 0; i < 4; ++i) {
        char c = text[at++];
        unsigned digit = c >= '0' && c <= '9'   ? unsigned(c - '0')
                         : c >= 'a' && c <= 'f' ? unsigned(c - 'a' + 10)
                         : c >= 'A' && c <= 'F' ? unsigned(c - 'A' + 10)
                                                : 16;
        if (digit == 16) fail("invalid \\u escape");
        value = value * 16 + digit;
    }
    return value;
}

// The characters after the opening quote, up to and including the closing one.
void Reader::stringBody(std::string& out) {
    out.clear();
    std::size_t run = at; // start of characters not yet copied
    while (true) {
        if (at >= text.size()) fail("unterminated string");
        auto c = static_cast<unsigned char>(text[at]);
        if (c == '"') {
            out.append(text.substr(run, at - run));
            ++at;
            return;
        }
        if (c < 0x20) fail("control character in string");
        if (c >= 0x80) {
            std::size_t length = utf8Sequence(text, at);
            if (length == 0) fail("invalid UTF-8 in string");
            at += length;
            continue;
        }
        if (c != '\\') {
            ++at;
            continue;
        }
        out.append(text.substr(run, at - run));
        if (++at >= text.size()) fail("unterminated string");
        switch (text[at++]) {
        case '"':
            out += '"';
            break;
        case '\\':
            out += '\\';
            break;
        case '/':
            out += '/';
            break;
        case 'b':
            out += '\b';
            break;
        case 'f':
            out += '\f';
            break;
        case 'n':
            out += '\n';
            break;
        case 'r':
            out += '\r';
            break;
        case 't':
            out += '\t';
            break;
        case 'u': {
            unsigned cp = hex4();
            if (cp >= 0xDC00 && cp <= 0xDFFF) fail("unpaired surrogate");
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                if (!consume('\\') || !consume('u')) fail("unpaired surrogate");
                unsigned low = hex4();
                if (low < 0xDC00 || low > 0xDFFF) fail("unpaired surrogate");
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            appendUtf8(out, cp);
            break;
        }
        default:
            --at;
            fail("invalid escape");
        }
        run = at;
    }
}

void Reader::skipValue() {
    auto literal = [&](std::string_view word) {
        if (text.substr(at, word.size()) != word) fail("invalid literal");
        at += word.size();
    };
    switch (peek()) {
    case Kind::null:
        literal("null");
        break;
    case Kind::boolean:
        literal(text[at] == 't' ? "true" : "false");
        break;
    case Kind::number: {
        // A number no double can hold is refused here too, as it is where it is read.
        auto token = numberToken();
        double value = 0;
        if (std::from_chars(token.data(), token.data() + token.size(), value).ec != std::errc())
            fail("number out of range");
        break;
    }
    case Kind::string: {
        std::string ignored;
        ++at;
        stringBody(ignored);
        break;
    }
    case Kind::array:
        beginArray(Path());
        while (nextElement())
            skipValue();
        break;
    case Kind::object:
        beginObject(Path());
        while (nextMember())
            skipValue();
        break;
    }
}

void Reader::finish() {
    skipSpace();
    if (at != text.size()) fail("unexpected text after the value");
}

// Writer

void Writer::separate() {
    if (needsComma) out += ',';
}

void Writer::beginObject() {
    separate();
    out += '{';
    needsComma = false;
}

void Writer::endObject() {
    out += '}';
    needsComma = true;
}

void Writer::beginArray() {
    separate();
    out += '[';
    needsComma = false;
}

void Writer::endArray() {
    out += ']';
    needsComma = true;
}

void Writer::key(std::string_view name) {
    separate();
    out += '"';
    out += name;
    out += "\":";
    needsComma = false;
}

void Writer::string(std::string_view value) {
    separate();
    out += '"';
    std::size_t run = 0; // start of characters not yet copied
    for (std::size_t i = 0; i < value.size();) {
        auto c = static_cast<unsigned char>(value[i]);
        if (c >= 0x20 && c != '"' && c != '\\' && c < 0x80) {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            if (std::size_t length = utf8Sequence(value, i)) {
                i += length;
                continue;
            }
        }
        out.append(value.substr(run, i - run));
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        case '\t':
            out += "\\t";
            break;
        default:
            if (c < 0x20) {
                const char* hex = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            } else {
                out += "\xEF\xBF\xBD"; // U+FFFD for a byte that is not valid UTF-8
            }
        }
        run = ++i;
    }
    out.append(value.substr(run));
    out += '"';
    needsComma = true;
}

void Writer::integer(long long value) {
    separate();
    char digits[24];
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
    needsComma = true;
}

void Writer::number(double value, const Path& path) {
    if (!std::isfinite(value)) throw JsonError(path.text(), "cannot store a number that is not finite");
    separate();
    char digits[32];
    // The shortest text that reads back as the identical double.
    auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, end);
    needsComma = true;
}

} // namespace orvane::json
