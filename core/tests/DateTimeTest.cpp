#include "core/DateTime.h"

#include <gtest/gtest.h>

using namespace orvane;
using namespace std::chrono_literals;

namespace {
WallTime at(std::chrono::seconds sinceEpoch) {
    return WallTime{} + sinceEpoch;
}
} // namespace

TEST(DateTime, ParsesTheStoredFormToTheExactInstant) {
    EXPECT_EQ(parseDateTime("1970-01-01T00:00:00Z"), WallTime{});
    EXPECT_EQ(parseDateTime("2025-03-14T09:26:53Z"), at(1741944413s));
    EXPECT_EQ(parseDateTime("1969-12-31T23:59:59Z"), at(-1s));
    EXPECT_EQ(parseDateTime("2024-02-29T00:00:00Z"), at(1709164800s));
    EXPECT_EQ(parseDateTime("2000-02-29T12:00:00Z"), at(951825600s));
    // The first and last years the clock can hold.
    EXPECT_EQ(parseDateTime("1678-01-01T00:00:00Z"), at(-9214560000s));
    EXPECT_EQ(parseDateTime("2261-12-31T23:59:59Z"), at(9214646399s));
}

TEST(DateTime, RejectsOtherFormsImpossibleDatesAndUnholdableYears) {
    for (const char* text :
         {"2025-03-14T09:26:53", "2025-03-14T09:26:53.000Z", "2025-03-14T09:26:53+00:00",
          "2025-03-14 09:26:53Z", "2025-3-14T09:26:53Z", "+025-03-14T09:26:53Z", "2025-03-14T09:26:53ZZ",
          " 2025-03-14T09:26:53Z", "2025-03-1aT09:26:53Z", "2025-03-14T-9:26:53Z", "2025-01-01T24:00:00Z",
          "2025-01-01T23:60:00Z", "2025-12-31T23:59:60Z", ""})
        EXPECT_FALSE(parseDateTime(text)) << text;
    EXPECT_FALSE(parseDateTime(std::string_view("2025-03-14T09:26:53Z\0", 21)));
    for (const char* date :
         {"2025-00-10", "2025-13-10", "2025-01-00", "2025-04-31", "2023-02-29", "1900-02-29", "2100-02-29",
          "1677-12-31", "2262-01-01", "0000-01-01", "9999-12-31"})
        EXPECT_FALSE(parseDateTime(std::string(date) + "T00:00:00Z")) << date;
}

TEST(DateTime, FormattingTruncatesFractionsTowardsThePast) {
    EXPECT_EQ(formatDateTime(at(1741944413s) + 999999999ns), "2025-03-14T09:26:53Z");
    EXPECT_EQ(formatDateTime(WallTime{} - 1500ms), "1969-12-31T23:59:58Z");
    EXPECT_EQ(wholeSeconds(at(10s) + 999ms), at(10s));
    EXPECT_EQ(wholeSeconds(WallTime{} - 1500ms), at(-2s));
    // Steps of a prime number of seconds cross months, leap days and both sides of 1970.
    for (auto t = at(-9214560000s); t < at(9214646399s); t += 7919s * 1117)
        EXPECT_EQ(parseDateTime(formatDateTime(t)), t) << formatDateTime(t);
}
