// The table of backend routes: which backend web server serves a request
// that no local route takes, and how its path is rewritten on the way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "webkvd/net/connection.hpp"

struct backend_link;

struct backend_route {
    std::string path_prefix;       // serves request paths that begin with this
    std::string path_replacement;  // written in place of path_prefix towards the backend
    std::string address;           // "host:port", handed to the connect call unchanged
    // Requests routed here; tie-break between routes of equal prefix length.
    // 64 bits so that a long-running server never overflows it.
    std::int64_t use_count = 0;
    backend_link* idle_head = nullptr;  // parked links, least recently parked first
    backend_link* idle_tail = nullptr;
    int idle_count = 0;
};

inline constexpr std::size_t max_backend_routes = 100;

// Adds a route; ignored once the table is full.  run_server adds
// ("/", "/", reverse host) when -r is given.
void backend_add_route(const char* path_prefix, const char* path_replacement, const char* address);

// The route of a request: the longest path_prefix that begins m.uri; on equal
// lengths the smaller use_count, then the earlier entry.  Null when none.
backend_route* choose_route(const net::http_message& m);

// Number of routes in the table, and the entry at index i (i < count).
std::size_t backend_route_count();
backend_route& backend_route_at(std::size_t i);

// Empties the table.  Parked links must have been closed and freed first
// (tests; the server keeps its routes for its whole life).
void backend_clear_routes();

// The host part of the route's address (text before the port's ':', an IPv6
// literal keeping its brackets) and the port part (empty when none).
std::string_view route_host(const backend_route& r);
std::string_view route_port(const backend_route& r);
