#include "webkvd/backend/pool.hpp"

namespace {

backend_link* pop_head(backend_route& r) {
    backend_link* link = r.idle_head;
    if (link == nullptr) return nullptr;
    r.idle_head = link->next_idle;
    if (r.idle_head == nullptr) r.idle_tail = nullptr;
    link->next_idle = nullptr;
    --r.idle_count;
    return link;
}

// Takes a queued link out of its route's queue, wherever it is.
void unqueue(backend_link* link) {
    backend_route& r = *link->route;
    backend_link* prev = nullptr;
    for (backend_link* l = r.idle_head; l != nullptr; prev = l, l = l->next_idle) {
        if (l != link) continue;
        (prev ? prev->next_idle : r.idle_head) = l->next_idle;
        if (r.idle_tail == l) r.idle_tail = prev;
        l->next_idle = nullptr;
        --r.idle_count;
        return;
    }
}

bool expired(const backend_link* link, std::time_t now) { return now > link->idle_until; }

}  // namespace

void bind_to_pool(backend_link* link) {
    link->conn->user_data = link;
    link->conn->handler = idle_link_handler;
    link->conn->pause_reading(false);  // a parked link must see its backend close
}

void close_link(backend_link* link) {
    link->idle_until = 0;
    link->conn->close_now();
}

backend_link* take_idle_link(backend_route& r) {
    std::time_t now = std::time(nullptr);
    while (backend_link* link = pop_head(r)) {
        if (!link->conn->closing() && !expired(link, now)) return link;
        close_link(link);
    }
    return nullptr;
}

void park_link(backend_link* link) {
    backend_route& r = *link->route;
    link->idle_until = std::time(nullptr) + idle_link_seconds;
    link->next_idle = nullptr;
    (r.idle_tail ? r.idle_tail->next_idle : r.idle_head) = link;
    r.idle_tail = link;
    ++r.idle_count;
    while (r.idle_count > max_idle_links) close_link(pop_head(r));
}

void idle_link_handler(net::connection& c, int ev, void* /*ev_data*/) {
    auto* link = static_cast<backend_link*>(c.user_data);
    if (link == nullptr) {
        if (ev != net::EV_CLOSE) c.close_now();
        return;
    }
    bool parked = link->idle_until > 0;
    switch (ev) {
    case net::EV_POLL:
        if (parked && expired(link, std::time(nullptr))) {
            unqueue(link);
            close_link(link);
        }
        break;
    case net::EV_HTTP_HEAD:
    case net::EV_HTTP_REPLY:
    case net::EV_HTTP_BODY:
    case net::EV_HTTP_END:
        // Bytes that answer no request: the connection is out of step with
        // its backend, and handing it out would give the next client a
        // stale reply.
        if (parked) unqueue(link);
        close_link(link);
        break;
    case net::EV_CLOSE:
        if (parked) unqueue(link);
        c.user_data = nullptr;
        delete link;
        break;
    default:
        break;
    }
}
