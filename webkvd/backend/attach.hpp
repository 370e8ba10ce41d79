// Gives a proxied exchange its backend link, releases it afterwards, and
// handles the two early ends on the backend's side: a failed connect and a
// backend connection that closes while it serves a client.
#pragma once

#include "webkvd/backend/pool.hpp"
#include "webkvd/net/connection.hpp"
#include "webkvd/router/client_state.hpp"

// Log lines of the backend side (written with log_line).
inline constexpr const char* log_connection_failed = "Connection to [%s] failed\n";
inline constexpr const char* log_connect_error = "Error connecting to %s: %d (%s)\n";
inline constexpr const char* log_backend_disconnected = "Backend %s disconnected.\n";

// Sets cs.link and cs.backend.conn for the request m: a parked link of its
// route, or a new outbound connection.  When cs.backend.conn is still null on
// return, the client has been answered with the 500 reply.
void attach_backend(client_state& cs, const net::http_message& m);

// Ends the exchange's use of its link: parked when the backend side is
// keep-alive, closed otherwise.  The backend side returns to its initial state.
void detach_backend(client_state& cs);

// EV_CONNECT of the backend connection; err is 0 or an errno value.
void backend_connect_result(client_state& cs, int err);

// The backend connection of cs is closing: a reply not relayed completely is
// logged and answered with the 500 reply; the link is freed.
void backend_closed_step(client_state& cs);
