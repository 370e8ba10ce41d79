// The one event handler of every client connection (and of a backend
// connection while it serves a client): keeps the client_state, routes
// requests by URI prefix and cleans up on close.
#pragma once

#include <string_view>

#include "webkvd/net/connection.hpp"
#include "webkvd/router/client_state.hpp"

// is_https: 0 for connections of the HTTP listener, 1 for the HTTPS one.
void http_event_handler(net::connection& c, int ev, void* ev_data, int is_https);

// 1 when s begins with prefix, byte for byte; else 0.
int uri_has_prefix(std::string_view s, const char* prefix);

// 1 when the URI names a regular file under the web root; else 0.
int is_web_root_file(const char* uri, int len);

// "<status line>Content-Length: 0\r\nConnection: close\r\n\r\n" once per
// exchange, then close after sending.  Nothing when client.conn is none.
void send_error_reply(client_state& cs, const char* status_line);
inline constexpr const char* status_500_failed = "HTTP/1.1 500 Failed\r\n";

// Proxy diagnostics: always written to log_stream, flushed.
void log_line(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
