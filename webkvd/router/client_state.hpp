// Per-client-connection record of the HTTP front end.  It is the user_data
// of the client connection and, while a backend connection serves the
// client's exchange, of that backend connection too.
#pragma once

#include <cstdint>

#include "webkvd/net/connection.hpp"

struct backend_link;
struct upload_state;

// peer_side flags
inline constexpr unsigned HEAD_SENT = 1;   // a message head was written to this side
inline constexpr unsigned KEEP_ALIVE = 2;  // this side's exchange is keep-alive

struct peer_side {
    net::connection* conn = nullptr;
    std::int64_t body_len = -1;   // body length of the message this side sent; -1 until forwarded
    std::int64_t body_sent = 0;   // bytes of that body relayed to the other side
    unsigned flags = 0;
};

// Which handler owns the request in progress; chosen when its head arrives.
enum class branch : std::uint8_t { none, api, root, temp, resp, result, web_file, proxy, upload };

struct client_state {
    backend_link* link = nullptr;    // backend link of the exchange being proxied
    peer_side client;                // the browser's side
    peer_side backend;               // the backend's side
    int is_https = 0;
    std::int32_t call_id = 0;        // script call this connection waits for; 0: none
    upload_state* upload = nullptr;  // multipart part being stored

    branch current = branch::none;   // branch of the request in progress
    bool upload_endpoint = false;    // once set, every request goes to the upload endpoint
    void* upload_stream = nullptr;   // multipart parser state of the upload module
};
