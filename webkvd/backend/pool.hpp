// Backend links and the per-route pool of parked keep-alive links.
//
// A link in use belongs to the client_state that refers to it; its
// connection's user_data is that client_state.  A parked or closing link
// belongs to its connection: user_data is the link, the handler is
// idle_link_handler, and the link is freed by the connection's close event.
#pragma once

#include <ctime>

#include "webkvd/backend/routes.hpp"
#include "webkvd/net/connection.hpp"

struct backend_link {
    backend_route* route = nullptr;
    net::connection* conn = nullptr;
    // Parked: the time after which the link is closed.  0 while closing.
    // Under idle_link_handler it is > 0 exactly when the link is queued.
    std::time_t idle_until = 0;
    backend_link* next_idle = nullptr;
};

// A route keeps at most this many parked links, each for this long.
inline constexpr int max_idle_links = 5;
inline constexpr std::time_t idle_link_seconds = 30;

// The least recently parked usable link of the route, or null.  Links whose
// connection is already closing or whose time has passed are not handed out;
// they are left to close.
backend_link* take_idle_link(backend_route& r);

// Parks a link whose connection is already bound to idle_link_handler: queued
// at the tail for idle_link_seconds; the oldest links past max_idle_links
// are closed.
void park_link(backend_link* link);

// Moves a link bound to idle_link_handler into the closing state and closes
// its connection; the close event frees it.
void close_link(backend_link* link);

// Binds the link's connection to idle_link_handler with the link as user_data.
void bind_to_pool(backend_link* link);

// Handler of parked and closing links.
void idle_link_handler(net::connection& c, int ev, void* ev_data);
