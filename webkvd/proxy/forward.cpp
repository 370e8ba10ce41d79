#include "webkvd/proxy/forward.hpp"

#include <algorithm>
#include <string>

#include "webkvd/backend/pool.hpp"
#include "webkvd/main/config.hpp"
#include "webkvd/proxy/head.hpp"

namespace {
constexpr std::size_t head_reserve_bytes = 512;
}

void forward_message(client_state& cs, const net::http_message& m, peer_side& from, peer_side& to) {
    const backend_route& route = *cs.link->route;
    std::string head;
    head.reserve(head_reserve_bytes);
    if (m.is_request) {
        from.body_len = m.chunked ? -1 : std::max<std::int64_t>(m.content_length, 0);
        append_request_head(head, m, route, cs.is_https != 0,
                            backend_keepalive ? connection_keep_alive : connection_close);
    } else {
        from.body_len = m.chunked ? -1 : m.content_length;
        append_reply_head(head, m, route, cs.is_https != 0,
                          (cs.client.flags & KEEP_ALIVE) ? connection_keep_alive : connection_close);
    }
    to.conn->send(head);
    to.flags |= HEAD_SENT;
}

void relay_body_piece(peer_side& from, peer_side& to, std::string_view piece, bool chunked) {
    from.body_sent += static_cast<std::int64_t>(piece.size());
    if (to.conn == nullptr) return;
    if (chunked)
        to.conn->send_chunk(piece);
    else
        to.conn->send(piece);
    if (from.conn != nullptr && to.conn->queued() > net::high_mark) from.conn->pause_reading(true);
}

void resume_reading(peer_side& side) {
    if (side.conn != nullptr) side.conn->pause_reading(false);
}
