#include "webkvd/calls/call_id.hpp"

#include <limits>

namespace {

constexpr int decimal_base = 10;

bool is_space(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\v' || ch == '\f' || ch == '\r';
}

bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }

}  // namespace

std::int32_t parse_call_id(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && is_space(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    // Accumulate like a long (saturating as strtol does) and keep the low
    // 32 bits, as storing that long into an int does.
    std::int64_t value = 0;
    bool saturated = false;
    for (; i < text.size() && is_digit(text[i]); ++i) {
        if (value > (std::numeric_limits<std::int64_t>::max() - (text[i] - '0')) / decimal_base) saturated = true;
        if (!saturated) value = value * decimal_base + (text[i] - '0');
    }
    if (saturated) value = negative ? std::numeric_limits<std::int64_t>::min() : std::numeric_limits<std::int64_t>::max();
    else if (negative) value = -value;
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}
