#include "webkvd/api/api.hpp"

namespace {

constexpr const char* api_head =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nConnection: keep-alive\r\n"
    "Content-Type: application/json\r\n\r\n";

}  // namespace

int api_request(client_state& cs, const net::http_message& m) {
    net::connection* c = cs.client.conn;
    if (c == nullptr) return api_done;  // nobody left to answer
    c->printf("%s", api_head);
    if (net::iequals(m.method, "POST")) return api_call(cs, *c, m);
    if (net::iequals(m.method, "GET")) return api_list(cs, *c, m);
    return api_no_script;
}
