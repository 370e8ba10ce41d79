#include "webkvd/proxy/proxy.hpp"

#include <string_view>

#include "webkvd/main/config.hpp"
#include "webkvd/proxy/forward.hpp"
#include "webkvd/proxy/head.hpp"
#include "webkvd/router/router.hpp"

namespace {

constexpr std::string_view head_method = "HEAD";

void set_flag(peer_side& side, unsigned flag, bool on) {
    if (on)
        side.flags |= flag;
    else
        side.flags &= ~flag;
}

// The whole request body has gone to the backend.
bool request_complete(const client_state& cs) {
    return cs.client.body_len >= 0 && cs.client.body_sent >= cs.client.body_len;
}

void reply_head(client_state& cs, const net::http_message& m) {
    bool backend_keeps = backend_keepalive && message_keeps_alive(m);
    set_flag(cs.backend, KEEP_ALIVE, backend_keeps);
    if (!backend_keeps) cs.client.flags &= ~KEEP_ALIVE;
    if (cs.client.conn != nullptr)
        forward_message(cs, m, cs.backend, cs.client);
    else
        cs.backend.body_len = m.chunked ? -1 : m.content_length;
}

void reply_end(client_state& cs) {
    // A backend that answered before it got the whole request body is out
    // of step with it, and so is the browser: neither connection is reused.
    if (!request_complete(cs)) {
        cs.backend.flags &= ~KEEP_ALIVE;
        cs.client.flags &= ~KEEP_ALIVE;
    }
    detach_backend(cs);
    net::connection* client = cs.client.conn;
    if (client == nullptr) return;
    if (cs.client.flags & KEEP_ALIVE) {
        client->pause_reading(false);
        client->hold(false);  // the next request may start now
    } else {
        client->close_after_send();
    }
}

void backend_event(client_state& cs, int ev, void* ev_data) {
    switch (ev) {
    case net::EV_CONNECT:
        backend_connect_result(cs, *static_cast<int*>(ev_data));
        break;
    case net::EV_HTTP_HEAD:
        cs.backend.conn->stream_body();
        reply_head(cs, *static_cast<net::http_message*>(ev_data));
        break;
    case net::EV_HTTP_BODY:
        relay_body_piece(cs.backend, cs.client, *static_cast<std::string_view*>(ev_data), false);
        break;
    case net::EV_HTTP_END:
        reply_end(cs);
        break;
    case net::EV_HTTP_REPLY: {
        // A reply that arrived whole: head, body and end at once.
        const auto& m = *static_cast<net::http_message*>(ev_data);
        reply_head(cs, m);
        relay_body_piece(cs.backend, cs.client, m.body, false);
        reply_end(cs);
        break;
    }
    case net::EV_DRAIN:
        resume_reading(cs.client);
        break;
    default:
        break;
    }
}

void client_event(client_state& cs, int ev, void* ev_data) {
    if (cs.link == nullptr || cs.backend.conn == nullptr) return;  // the exchange is over
    bool chunked = cs.client.body_len < 0;
    switch (ev) {
    case net::EV_HTTP_BODY:
        relay_body_piece(cs.client, cs.backend, *static_cast<std::string_view*>(ev_data), chunked);
        break;
    case net::EV_HTTP_END:
        if (chunked) {
            cs.backend.conn->send_last_chunk();
            cs.client.body_len = cs.client.body_sent;
        }
        break;
    case net::EV_DRAIN:
        resume_reading(cs.backend);
        break;
    default:
        break;
    }
}

}  // namespace

void proxy_request(client_state& cs, const net::http_message& head) {
    net::connection* client = cs.client.conn;
    if (client == nullptr) return;
    client->stream_body();
    client->hold(true);
    if (cs.link != nullptr || cs.backend.conn != nullptr) {
        // Only one exchange at a time; hold() keeps the next request back,
        // so this is a broken sequence of events.
        client->close_now();
        return;
    }
    // A new exchange: its failure must get its own error head.
    cs.client.body_sent = 0;
    cs.client.body_len = -1;
    cs.client.flags &= ~HEAD_SENT;
    set_flag(cs.client, KEEP_ALIVE, message_keeps_alive(head));

    if (framing_is_ambiguous(head)) {
        send_error_reply(cs, status_500_failed);
        return;
    }
    attach_backend(cs, head);
    if (cs.backend.conn == nullptr) return;  // answered by attach_backend
    forward_message(cs, head, cs.client, cs.backend);
    // A reply to HEAD announces a length but carries no body.
    if (net::iequals(head.method, head_method)) cs.backend.conn->expect_bodyless_reply();
}

void proxy_event(client_state& cs, net::connection& c, int ev, void* ev_data) {
    if (cs.backend.conn == &c && cs.link != nullptr)
        backend_event(cs, ev, ev_data);
    else if (cs.client.conn == &c)
        client_event(cs, ev, ev_data);
}
