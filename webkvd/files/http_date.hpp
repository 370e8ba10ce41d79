// HTTP dates (Last-Modified, If-Modified-Since, If-Range).
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>

namespace files {

// "Sun, 06 Nov 1994 08:49:37 GMT"
std::string format_http_date(std::time_t t);

// Accepts the preferred form above and the two obsolete ones HTTP still
// allows ("Sunday, 06-Nov-94 08:49:37 GMT", "Sun Nov  6 08:49:37 1994").
std::optional<std::time_t> parse_http_date(std::string_view text);

}  // namespace files
