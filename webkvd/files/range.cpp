#include "webkvd/files/range.hpp"

#include <limits>

#include "webkvd/net/connection.hpp"

namespace files {

namespace {

constexpr std::string_view unit_prefix = "bytes=";
constexpr std::uint64_t no_number = std::numeric_limits<std::uint64_t>::max();

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

// Decimal digits only; values too large for 64 bits saturate, which is past
// any file's end.  Returns false when s is not all digits or is empty.
bool read_number(std::string_view s, std::uint64_t& v) {
    if (s.empty()) return false;
    constexpr std::uint64_t limit = (no_number - 9) / 10;
    v = 0;
    for (char ch : s) {
        if (ch < '0' || ch > '9') return false;
        v = v > limit ? no_number - 1 : v * 10 + static_cast<std::uint64_t>(ch - '0');
    }
    return true;
}

}  // namespace

range_kind parse_range(std::string_view value, std::uint64_t size, byte_range& out) {
    value = trim(value);
    if (!net::istarts_with(value, unit_prefix)) return range_kind::whole;
    std::string_view spec = trim(value.substr(unit_prefix.size()));
    if (spec.find(',') != std::string_view::npos) return range_kind::whole;
    std::size_t dash = spec.find('-');
    if (dash == std::string_view::npos) return range_kind::whole;
    std::string_view a = trim(spec.substr(0, dash));
    std::string_view b = trim(spec.substr(dash + 1));
    std::uint64_t first = 0, last = 0;
    if (a.empty()) {
        std::uint64_t suffix = 0;
        if (!read_number(b, suffix)) return range_kind::whole;
        if (suffix == 0 || size == 0) return range_kind::unsatisfiable;
        out.first = suffix >= size ? 0 : size - suffix;
        out.last = size - 1;
        return range_kind::partial;
    }
    if (!read_number(a, first)) return range_kind::whole;
    if (b.empty()) {
        last = no_number;
    } else if (!read_number(b, last) || last < first) {
        return range_kind::whole;
    }
    if (first >= size) return range_kind::unsatisfiable;
    out.first = first;
    out.last = last >= size ? size - 1 : last;
    return range_kind::partial;
}

}  // namespace files
