// Server profile: a non-blocking socket used from inside an event loop. Every
// wait is a poll(2) bounded by what is left of the operation's budget, so an
// absent or slow daemon stalls the caller for a bounded time only.
#pragma once

#include "store/conn.hpp"
#include "store/frame.hpp"

constexpr int store_connect_timeout_s = 1;
constexpr int store_set_send_budget_ms = 200;
constexpr int store_list_send_budget_ms = 100;
constexpr int store_recv_budget_ms = 800;    // each exact receive

// Zeroes the record and connects. 0, or -1 with fd = -1.
int store_open(store_conn* c);

// Sends the first n bytes of c->buffer. The budget bounds the time spent
// waiting while the socket would block; progress is never cut off. 0 or -1.
int store_send_all(store_conn* c, int n, int budget_ms);

// Receives exactly n bytes into the start of c->buffer within 800 ms.
// 0; -1 daemon closed; -2 receive error; -13 budget used up.
int store_recv_exact(store_conn* c, int n);

// Sends one set (or remove, for "set" with an empty value) request and reads
// and discards its acknowledgement. 0 once the request went out; -1 when the
// record is not open, the key is empty, or the send failed.
int store_set(store_conn* c, const char* word, const char* key, int klen, const char* value, int vlen);

// Called once per entry; key and value are terminated strings inside the
// connection's buffer. 0 goes on; anything else stops the listing.
using store_list_callback = int (*)(store_conn* c, void* ctx, const char* prefix, const char* key, const char* value);

// Lists the keys that prefix matches, one callback per entry.
// 0 at the end of the stream or when the callback stops it; -1 not open or
// send failed; a read failure's code otherwise.
int store_list(store_conn* c, const char* prefix, void* ctx, store_list_callback cb);

// Frees the buffer and closes the socket if one is open. Returns 0.
int store_close(store_conn* c);
