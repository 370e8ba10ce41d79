#include "webkvd/files/http_date.hpp"

#include <array>
#include <cstdio>

namespace files {

namespace {

constexpr std::array<const char*, 7> day_names{"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr std::array<const char*, 12> month_names{"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                                  "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
constexpr std::size_t date_bytes = 40;
constexpr int tm_year_base = 1900;
constexpr int two_digit_year_pivot = 70;  // "94" is 1994, "05" is 2005
constexpr int century = 100;
constexpr int max_hour = 23, max_minute = 59, max_second = 60, max_day = 31;

int month_index(std::string_view m) {
    for (std::size_t i = 0; i < month_names.size(); ++i)
        if (m == month_names[i]) return static_cast<int>(i);
    return -1;
}

// Reads exactly n digits at text[pos]; -1 when they are not all there.
int digits(std::string_view text, std::size_t pos, std::size_t n) {
    if (pos + n > text.size()) return -1;
    int v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        char ch = text[pos + i];
        if (ch < '0' || ch > '9') return -1;
        v = v * 10 + (ch - '0');
    }
    return v;
}

// "hh:mm:ss" at pos.
bool clock_at(std::string_view text, std::size_t pos, std::tm& tm) {
    if (pos + 8 > text.size() || text[pos + 2] != ':' || text[pos + 5] != ':') return false;
    tm.tm_hour = digits(text, pos, 2);
    tm.tm_min = digits(text, pos + 3, 2);
    tm.tm_sec = digits(text, pos + 6, 2);
    return tm.tm_hour >= 0 && tm.tm_hour <= max_hour && tm.tm_min >= 0 && tm.tm_min <= max_minute &&
           tm.tm_sec >= 0 && tm.tm_sec <= max_second;
}

std::optional<std::time_t> finish(std::tm& tm) {
    if (tm.tm_mday < 1 || tm.tm_mday > max_day || tm.tm_mon < 0) return std::nullopt;
    return ::timegm(&tm);
}

}  // namespace

std::string format_http_date(std::time_t t) {
    std::tm tm{};
    ::gmtime_r(&t, &tm);
    char buf[date_bytes];
    std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", day_names[static_cast<std::size_t>(tm.tm_wday) % 7],
                  tm.tm_mday, month_names[static_cast<std::size_t>(tm.tm_mon) % 12], tm.tm_year + tm_year_base,
                  tm.tm_hour, tm.tm_min, tm.tm_sec);
    return buf;
}

std::optional<std::time_t> parse_http_date(std::string_view text) {
    std::tm tm{};
    std::size_t comma = text.find(',');
    if (comma == 3) {
        // "Sun, 06 Nov 1994 08:49:37 GMT"
        std::string_view rest = text.substr(comma + 1);
        if (rest.size() != 25 || rest[0] != ' ' || rest[3] != ' ' || rest[7] != ' ' || rest[12] != ' ' ||
            rest[21] != ' ' || rest.substr(22) != "GMT")
            return std::nullopt;
        tm.tm_mday = digits(rest, 1, 2);
        tm.tm_mon = month_index(rest.substr(4, 3));
        int year = digits(rest, 8, 4);
        if (year < 0 || !clock_at(rest, 13, tm)) return std::nullopt;
        tm.tm_year = year - tm_year_base;
        return finish(tm);
    }
    if (comma != std::string_view::npos) {
        // "Sunday, 06-Nov-94 08:49:37 GMT"
        std::string_view rest = text.substr(comma + 1);
        if (rest.size() != 23 || rest[0] != ' ' || rest[3] != '-' || rest[7] != '-' || rest[10] != ' ' ||
            rest[19] != ' ' || rest.substr(20) != "GMT")
            return std::nullopt;
        tm.tm_mday = digits(rest, 1, 2);
        tm.tm_mon = month_index(rest.substr(4, 3));
        int year = digits(rest, 8, 2);
        if (year < 0 || !clock_at(rest, 11, tm)) return std::nullopt;
        tm.tm_year = (year < two_digit_year_pivot ? year + century : year);
        return finish(tm);
    }
    // "Sun Nov  6 08:49:37 1994"
    if (text.size() != 24 || text[3] != ' ' || text[7] != ' ' || text[10] != ' ' || text[19] != ' ')
        return std::nullopt;
    tm.tm_mon = month_index(text.substr(4, 3));
    tm.tm_mday = text[8] == ' ' ? digits(text, 9, 1) : digits(text, 8, 2);
    int year = digits(text, 20, 4);
    if (year < 0 || !clock_at(text, 11, tm)) return std::nullopt;
    tm.tm_year = year - tm_year_base;
    return finish(tm);
}

}  // namespace files
