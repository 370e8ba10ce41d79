// The data API on "/_api/": GET lists store keys by prefix, POST stores
// fields and starts a script whose result the browser then waits for.
#pragma once

#include "store/conn_server.hpp"
#include "webkvd/json/json.hpp"
#include "webkvd/net/connection.hpp"
#include "webkvd/router/client_state.hpp"

// Result codes of api_request.  Any code but api_done reaches the browser as
// the chunk "{ \"result\": <code> }" of the already started reply.
inline constexpr int api_done = 0;          // reply complete, or left to the pending call
inline constexpr int api_bad_body = -1;     // POST body not a document the scanner accepts
inline constexpr int api_no_script = -2;    // method not GET/POST; script missing or not runnable
inline constexpr int api_bad_method = -3;   // "method" missing, not a string, or too long
inline constexpr int api_bad_uri = -4;      // GET URI too short or too long
inline constexpr int api_no_store = -5;     // POST: fields to store but no store connection
inline constexpr int api_too_long = -6;     // GET: no store connection; POST: command too long

// Serves one "/_api/" request on cs.client.conn.  The reply head is always
// written first, so every reply is a chunked 200.
int api_request(client_state& cs, const net::http_message& m);

// Context handed through store_list to api_list_entry for one prefix.
struct list_reply {
    net::connection* conn;  // where the entries are written
    int entries;            // entries written for the current prefix
};

// store_list_callback: writes one "key":"value" entry as a chunk.
int api_list_entry(store_conn* c, void* ctx, const char* prefix, const char* key, const char* value);

// The two operations, after the reply head was written.
int api_list(client_state& cs, net::connection& c, const net::http_message& m);
int api_call(client_state& cs, net::connection& c, const net::http_message& m);
