#include "webkvd/backend/attach.hpp"

#include <cstring>
#include <new>

#include "webkvd/router/router.hpp"
#include "webkvd/server/server.hpp"

namespace {

void reset_backend_side(client_state& cs) { cs.backend = peer_side{}; }

net::handler_fn client_variant(const client_state& cs) {
    return cs.is_https ? tls_event_handler : plain_event_handler;
}

}  // namespace

void attach_backend(client_state& cs, const net::http_message& m) {
    backend_route* route = choose_route(m);
    if (route == nullptr) {
        send_error_reply(cs, status_500_failed);
        return;
    }
    ++route->use_count;
    net::handler_fn handler = client_variant(cs);

    backend_link* link = take_idle_link(*route);
    if (link != nullptr) {
        link->conn->handler = handler;
    } else {
        link = new (std::nothrow) backend_link{};
        if (link == nullptr) {
            send_error_reply(cs, status_500_failed);
            return;
        }
        link->conn = net::loop::connect(route->address, handler, &cs);
        if (link->conn == nullptr) {
            delete link;
            log_line(log_connection_failed, route->address.c_str());
            send_error_reply(cs, status_500_failed);
            return;
        }
    }
    link->route = route;
    link->conn->user_data = &cs;
    cs.link = link;
    reset_backend_side(cs);
    cs.backend.conn = link->conn;
}

void detach_backend(client_state& cs) {
    backend_link* link = cs.link;
    cs.link = nullptr;
    bool keep = (cs.backend.flags & KEEP_ALIVE) != 0;
    reset_backend_side(cs);
    if (link == nullptr) return;
    if (link->conn == nullptr) {
        delete link;
        return;
    }
    bind_to_pool(link);
    if (keep && !link->conn->closing())
        park_link(link);
    else
        close_link(link);
}

void backend_connect_result(client_state& cs, int err) {
    if (err == 0 || cs.link == nullptr) return;
    log_line(log_connect_error, cs.link->route->address.c_str(), err, std::strerror(err));
    send_error_reply(cs, status_500_failed);
    // The failed connection is handed to the pool's handler as a closing
    // link, so that its close event never reaches this client_state, which
    // may be gone by then.
    cs.backend.flags &= ~KEEP_ALIVE;
    detach_backend(cs);
}

void backend_closed_step(client_state& cs) {
    backend_link* link = cs.link;
    bool incomplete = cs.backend.body_len < 0 || cs.backend.body_len > cs.backend.body_sent;
    cs.link = nullptr;
    reset_backend_side(cs);
    if (cs.client.conn != nullptr) {
        if (incomplete) {
            if (link != nullptr) log_line(log_backend_disconnected, link->route->address.c_str());
            send_error_reply(cs, status_500_failed);
        } else {
            // The exchange cannot end normally any more; the client must not
            // wait for it.
            cs.client.conn->close_after_send();
        }
    }
    delete link;
}
