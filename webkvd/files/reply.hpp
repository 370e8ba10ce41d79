// Reply heads and the short error replies of the file server.  Every reply
// carries Content-Length (except 304) and "Connection: close": the
// connection is closed once a locally served reply is written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "webkvd/net/connection.hpp"

namespace files {

struct status {
    std::string_view line;  // status line with its CRLF
    std::string_view body;  // text of an error reply; empty for the others
};

inline constexpr status status_200{"HTTP/1.1 200 OK\r\n", ""};
inline constexpr status status_206{"HTTP/1.1 206 Partial Content\r\n", ""};
inline constexpr status status_301{"HTTP/1.1 301 Moved Permanently\r\n", ""};
inline constexpr status status_304{"HTTP/1.1 304 Not Modified\r\n", ""};
inline constexpr status status_400{"HTTP/1.1 400 Bad Request\r\n", "Bad Request\n"};
inline constexpr status status_403{"HTTP/1.1 403 Forbidden\r\n", "Forbidden\n"};
inline constexpr status status_404{"HTTP/1.1 404 Not Found\r\n", "Not Found\n"};
inline constexpr status status_405{"HTTP/1.1 405 Method Not Allowed\r\n", "Method Not Allowed\n"};
inline constexpr status status_416{"HTTP/1.1 416 Range Not Satisfiable\r\n", "Range Not Satisfiable\n"};
inline constexpr status status_500{"HTTP/1.1 500 Internal Server Error\r\n", "Internal Server Error\n"};
inline constexpr status status_503{"HTTP/1.1 503 Service Unavailable\r\n", "Service Unavailable\n"};

inline constexpr std::string_view allow_static = "Allow: GET, HEAD\r\n";
inline constexpr std::string_view error_content_type = "text/plain; charset=utf-8";

// Builds a head: status line, Content-Type (when given), Content-Length
// (when length >= 0), the extra header lines (each ending in CRLF),
// "Connection: close" and the blank line.
std::string make_head(const status& s, std::string_view content_type, std::int64_t length,
                      std::string_view extra = {});

// Writes an error reply with its short text body (head only for HEAD).
void send_error(net::connection& c, const status& s, bool head_only, std::string_view extra = {});

bool is_head_request(const net::http_message& m);
bool is_get_or_head(const net::http_message& m);

}  // namespace files
