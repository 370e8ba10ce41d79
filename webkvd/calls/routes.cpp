// "/_resp/<id>" and "/_result/<id>".
#include <string_view>

#include "webkvd/calls/call_id.hpp"
#include "webkvd/calls/pending.hpp"

namespace {

constexpr const char* rendezvous_head =
    "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\nContent-Type: application/json\r\n\r\n";
constexpr const char* resp_code_chunk = "{\"result\":%d}\n";
constexpr const char* result_missing_chunk = "%d";

constexpr std::string_view resp_prefix = "/_resp/";
constexpr std::string_view result_prefix = "/_result/";
// Ids are at most this many characters; longer URIs are refused.
constexpr std::size_t max_id_chars = 8;

constexpr int resp_stored = 0;
constexpr int resp_no_call = -1;
constexpr int resp_no_memory = -2;
constexpr int resp_bad_uri = -5;
constexpr int result_missing = -1;

}  // namespace

void resp_request(client_state& cs, const net::http_message& m) {
    net::connection* c = cs.client.conn;
    if (c == nullptr) return;
    int code = resp_bad_uri;
    std::int32_t id = 0;
    if (m.uri.size() <= resp_prefix.size() + max_id_chars) {
        id = parse_call_id(m.uri.substr(resp_prefix.size()));
        code = resp_no_call;
        if (pending_call* call = pending_find(id))
            code = call->store_result(m.body) ? resp_stored : resp_no_memory;
    }
    c->printf("%s", rendezvous_head);
    c->printf_chunk(resp_code_chunk, code);
    c->send_last_chunk();
    c->close_after_send();
    cs.client.conn = nullptr;
    if (id != 0) pending_deliver(id, nullptr);
}

void result_request(client_state& cs, const net::http_message& m) {
    net::connection* c = cs.client.conn;
    if (c == nullptr) return;
    if (m.uri.size() <= result_prefix.size() + max_id_chars) {
        const std::int32_t id = parse_call_id(m.uri.substr(result_prefix.size()));
        c->printf("%s", rendezvous_head);
        if (pending_deliver(id, c) != 0) c->printf_chunk(result_missing_chunk, result_missing);
        c->send_last_chunk();
    }
    // An over-long id gets no reply at all, only the close.
    c->close_after_send();
    cs.client.conn = nullptr;
}
