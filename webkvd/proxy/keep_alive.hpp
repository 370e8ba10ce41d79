// Whether a relayed message lets its side's connection stay open.
#pragma once

#include "webkvd/net/connection.hpp"

// True when the message asks for keep-alive ("Connection: keep-alive", or no
// Connection header on HTTP/1.1) and carries a Content-Length header, so that
// its end is known without a close.
bool message_keeps_alive(const net::http_message& m);
