// Command-line profile: a blocking socket whose sends and receives are each
// bounded by 2-second kernel time-outs.
#pragma once

#include "store/conn.hpp"
#include "store/frame.hpp"

constexpr int store_blocking_timeout_s = 2;

// Connected descriptor, or -1 with errno set (the socket is closed).
int store_open_blocking();

// One write of the first n bytes of c->buffer; the result shows only as a
// missing or late reply.
void store_send_once(store_conn* c, int n);

// Reads exactly n bytes into the start of c->buffer. A short read is not a
// failure: it reads on, each wait bounded by the receive time-out.
// 0, or -1 on time-out, end of stream or error before n bytes.
int store_recv_once(store_conn* c, int n);

// Frees the buffer and closes the socket.
void store_close_blocking(store_conn* c);
