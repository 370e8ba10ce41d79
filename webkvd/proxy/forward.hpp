// Relaying one message of a proxied exchange from one side to the other:
// its head at once, its body piece by piece with flow control.
#pragma once

#include <string_view>

#include "webkvd/net/connection.hpp"
#include "webkvd/router/client_state.hpp"

// Writes the head of m, rewritten, to `to` and sets its HEAD_SENT flag;
// from.body_len becomes the body length m announces (-1 while unknown: a
// chunked request, a reply without Content-Length).  The route is that of
// cs.link.
void forward_message(client_state& cs, const net::http_message& m, peer_side& from, peer_side& to);

// Relays one body piece of `from`'s message to `to`, re-chunked when
// `chunked`.  Reading from `from` pauses while `to` has more than
// net::high_mark bytes queued; resume_reading() ends the pause.
void relay_body_piece(peer_side& from, peer_side& to, std::string_view piece, bool chunked);
void resume_reading(peer_side& side);
