// The text of a relayed message head: the rewritten start line, the headers
// in the order received with the proxy's rules, and the proxy's own
// Connection header.
#pragma once

#include <string>
#include <string_view>

#include "webkvd/backend/routes.hpp"
#include "webkvd/net/connection.hpp"

inline constexpr const char* connection_keep_alive = "keep-alive";
inline constexpr const char* connection_close = "close";

// Appends the head of request m as the backend gets it: the route's
// path_prefix replaced by its path_replacement (query kept), every header
// but Connection, then "Connection: <connection>".  A chunked body stays
// chunked, so Transfer-Encoding passes unchanged.
void append_request_head(std::string& out, const net::http_message& m, const backend_route& r,
                         bool is_https, const char* connection);

// Appends the head of reply m as the browser gets it.  A chunked reply is
// relayed without its chunked coding, so that coding leaves
// Transfer-Encoding.
void append_reply_head(std::string& out, const net::http_message& m, const backend_route& r,
                       bool is_https, const char* connection);

// For a browser on HTTPS: a Location naming the backend over plain HTTP
// ("http://" host, optionally ":" the route's port, then the rest) becomes
// just the rest, the path.  Returns false when the value names anything else.
bool rewrite_location(std::string_view value, const backend_route& r, std::string_view& path);

// A request whose body length is ambiguous: Content-Length together with
// Transfer-Encoding, repeated Content-Length headers that differ, or a
// Transfer-Encoding whose last coding is not chunked.
bool framing_is_ambiguous(const net::http_message& m);
