#include "webkvd/files/reply.hpp"

namespace files {

namespace {
constexpr std::string_view content_type_field = "Content-Type: ";
constexpr std::string_view content_length_field = "Content-Length: ";
constexpr std::string_view connection_close = "Connection: close\r\n\r\n";
constexpr std::string_view crlf = "\r\n";
}  // namespace

std::string make_head(const status& s, std::string_view content_type, std::int64_t length, std::string_view extra) {
    std::string head;
    head.reserve(s.line.size() + content_type.size() + extra.size() + 96);
    head += s.line;
    if (!content_type.empty()) {
        head += content_type_field;
        head += content_type;
        head += crlf;
    }
    if (length >= 0) {
        head += content_length_field;
        head += std::to_string(length);
        head += crlf;
    }
    head += extra;
    head += connection_close;
    return head;
}

void send_error(net::connection& c, const status& s, bool head_only, std::string_view extra) {
    std::string reply = make_head(s, error_content_type, static_cast<std::int64_t>(s.body.size()), extra);
    if (!head_only) reply += s.body;
    c.send(reply);
}

bool is_head_request(const net::http_message& m) { return m.method == "HEAD"; }

bool is_get_or_head(const net::http_message& m) { return m.method == "GET" || m.method == "HEAD"; }

}  // namespace files
