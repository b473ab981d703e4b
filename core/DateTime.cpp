#include "core/DateTime.h"

#include <cstdio>

namespace orvane {

using namespace std::chrono;

WallTime wholeSeconds(WallTime time) { return time_point_cast<WallTime::duration>(floor<seconds>(time)); }

std::string formatDateTime(WallTime time) {
    auto secs = floor<seconds>(time);
    auto day = floor<days>(secs);
    year_month_day date{day};
    hh_mm_ss clock{secs - day};
    char text[32];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02lldZ", int(date.year()), unsigned(date.month()),
                  unsigned(date.day()), int(clock.hours().count()), int(clock.minutes().count()),
                  static_cast<long long>(clock.seconds().count()));
    return text;
}

static std::optional<int> digits(std::string_view text, std::size_t at, std::size_t count) {
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

std::optional<WallTime> parseDateTime(std::string_view text) {
    // 0123456789012345678 9
    // YYYY-MM-DDTHH:MM:SS Z
    if (text.size() != 20 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || text[19] != 'Z')
        return std::nullopt;
    auto y = digits(text, 0, 4), mo = digits(text, 5, 2), d = digits(text, 8, 2);
    auto h = digits(text, 11, 2), mi = digits(text, 14, 2), s = digits(text, 17, 2);
    if (!y || !mo || !d || !h || !mi || !s) return std::nullopt;
    year_month_day date{year{*y}, month{unsigned(*mo)}, day{unsigned(*d)}};
    if (!date.ok() || *h > 23 || *mi > 59 || *s > 59) return std::nullopt;
    // Instants outside what the clock can hold would overflow; the clock's range covers years 1678 to 2261.
    if (*y < 1678 || *y > 2261) return std::nullopt;
    auto instant = sys_days{date} + hours{*h} + minutes{*mi} + seconds{*s};
    return time_point_cast<WallTime::duration>(instant);
}

} // namespace orvane
