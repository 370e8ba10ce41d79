// Script calls awaiting their results: the call records, the expiry sweep,
// delivery to the waiting browser, and the two routes scripts and clients
// use ("/_resp/<id>" posts a result, "/_result/<id>" fetches it again).
// Everything runs on the event loop's one thread.
#pragma once

#include <cstdint>
#include <ctime>

#include "webkvd/calls/pending_call.hpp"
#include "webkvd/net/connection.hpp"
#include "webkvd/router/client_state.hpp"

// Empty table and queue; frees any calls left from before.
void pending_init();

// Records a call whose result waiter awaits, due call_lifetime_s from now.
// A later call with the same id takes the id over.  Returns null, recording
// nothing, when memory for the call cannot be had.
pending_call* pending_add(net::connection* waiter, std::int32_t id);

// Answers and frees the calls past their deadline; does its work at most
// once in any sweep_interval_s seconds.  Cost is proportional to the calls
// it removes.
void pending_sweep();
inline constexpr std::time_t sweep_interval_s = 3;

// Serves "/_resp/<id>": stores the request body as the result of call id
// and hands it to the waiting browser.
void resp_request(client_state& cs, const net::http_message& m);

// Serves "/_result/<id>": sends the stored result of call id again.
void result_request(client_state& cs, const net::http_message& m);

// Sends the stored result of call id to fetcher, or with no fetcher to the
// call's waiter (which is then answered and let go).  0 or -1.
int pending_deliver(std::int32_t id, net::connection* fetcher);

// The call with this id no longer has a waiter if that waiter is closing;
// the call stays until its deadline.
void pending_detach(std::int32_t id);

// The call that id names now, or null.
pending_call* pending_find(std::int32_t id);

// Every call whose waiter is c no longer has one.  Called when c closes.
void pending_detach_conn(net::connection* c);

// Replaces the clock (seconds, only differences matter); null restores the
// default monotonic clock.
void pending_set_clock(std::time_t (*now)());

// Chunk texts of the waiting browser's reply.
inline constexpr const char* call_result_chunk = "{\"result\": \"%s\"}";
inline constexpr const char* call_code_chunk = "{ \"result\": %d }";
inline constexpr int call_timed_out = -6;
