// The reverse proxy: a request that no local route serves goes to the
// backend of its route, and the backend's reply comes back to the browser.
// Bodies are relayed as they arrive, so an exchange holds only a bounded
// amount of either body whatever its size.
#pragma once

#include "webkvd/backend/attach.hpp"
#include "webkvd/net/connection.hpp"
#include "webkvd/proxy/keep_alive.hpp"
#include "webkvd/router/client_state.hpp"

// On EV_HTTP_HEAD of a client request that no local route serves: streams
// its body, holds back any pipelined request, attaches a backend link and
// writes the rewritten head to it.  Failures are answered with the 500 reply.
void proxy_request(client_state& cs, const net::http_message& head);

// Every event of the backend connection cs.backend.conn except EV_CLOSE,
// and EV_HTTP_BODY / EV_HTTP_END / EV_DRAIN of the client connection while
// its request is proxied.
void proxy_event(client_state& cs, net::connection& c, int ev, void* ev_data);

// backend_closed_step (webkvd/backend/attach.hpp) is the router's close step
// for cs.backend.conn; message_keeps_alive (webkvd/proxy/keep_alive.hpp)
// decides keep-alive for both sides.
