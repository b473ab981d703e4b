#pragma once

// Streaming JSON for large documents such as calibration profiles: a strict pull reader and an
// appending writer that build no intermediate tree (a profile of a few thousand samples would
// otherwise spend most of its time allocating one), and a key path that becomes text only when
// an error names it.

#include "core/Json.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace orvane::json {

// Where a value sits, e.g. "calibrationSamples[3].pose.roll". Each step points to its parent,
// which must outlive it: build them as locals or as arguments of the call that uses them.
class Path {
  public:
    Path() = default; // the document itself
    Path member(std::string_view key) const& { return Path(this, key, 0); }
    Path element(std::size_t index) const& { return Path(this, {}, index); }
    // A step from a temporary would outlive it.
    Path member(std::string_view key) && = delete;
    Path element(std::size_t index) && = delete;
    std::string text() const;

  private:
    Path(const Path* parent, std::string_view key, std::size_t index)
        : parent(parent), key(key), index(index) {}
    const Path* parent = nullptr;
    std::string_view key; // empty for an element
    std::size_t index = 0;
};

// Reads a document front to back. Syntax is strict (RFC 8259, UTF-8 checked, nothing after the
// value); every failure throws JsonError, naming the path for a value of the wrong kind.
class Reader {
  public:
    enum class Kind { null, boolean, number, string, array, object };

    // Containers nest at most this deep, so that skipping unknown values cannot exhaust the stack.
    static constexpr int maximumDepth = 64;

    explicit Reader(std::string_view text) : text(text) {}

    // The kind of the next value.
    Kind peek();

    // Loop with `while (reader.nextMember()) { ... read or skip the value ... }`.
    void beginObject(const Path& path);
    bool nextMember();
    std::string_view key() const { return currentKey; }

    void beginArray(const Path& path);
    bool nextElement();

    double readNumber(const Path& path);
    long long readInteger(const Path& path);
    void readString(std::string& out, const Path& path);
    void skipValue();

    // Only white space may follow the value read.
    void finish();

  private:
    void expect(Kind kind, const Path& path);
    [[noreturn]] void fail(std::string_view what) const;
    void skipSpace();
    bool consume(char c);
    std::string_view numberToken();
    void stringBody(std::string& out);
    unsigned hex4();

    std::string_view text;
    std::size_t at = 0;
    int depth = 0;
    bool justOpened = false; // a container was begun and its first member or element is next
    std::string currentKey;
};

// Builds compact JSON text. Keys are written as given (they are the program's own, plain ASCII);
// strings are escaped, and invalid UTF-8 in them is replaced rather than failing the document.
class Writer {
  public:
    explicit Writer(std::size_t expectedSize = 0) { out.reserve(expectedSize); }

    void beginObject();
    void endObject();
    void beginArray();
    void endArray();
    void key(std::string_view name);
    void string(std::string_view value);
    void integer(long long value);
    // Throws JsonError naming the path when the number is NaN or infinite.
    void number(double value, const Path& path);

    std::string take() { return std::move(out); }

  private:
    void separate();
    std::string out;
    bool needsComma = false;
};

} // namespace orvane::json
