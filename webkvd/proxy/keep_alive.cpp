#include "webkvd/proxy/keep_alive.hpp"

namespace {
constexpr std::string_view connection_name = "Connection";
constexpr std::string_view content_length_name = "Content-Length";
constexpr std::string_view keep_alive_value = "keep-alive";
constexpr std::string_view http_1_1 = "HTTP/1.1";
}  // namespace

bool message_keeps_alive(const net::http_message& m) {
    const net::http_header* conn = m.header(connection_name);
    bool wants = conn ? net::iequals(conn->value, keep_alive_value) : net::iequals(m.proto, http_1_1);
    return wants && m.header(content_length_name) != nullptr;
}
