#include "webkvd/proxy/head.hpp"

#include <algorithm>
#include <charconv>

namespace {

constexpr std::string_view line_end = "\r\n";
constexpr std::string_view name_separator = ": ";
constexpr std::string_view connection_name = "Connection";
constexpr std::string_view location_name = "Location";
constexpr std::string_view transfer_encoding_name = "Transfer-Encoding";
constexpr std::string_view content_length_name = "Content-Length";
constexpr std::string_view chunked_coding = "chunked";
constexpr std::string_view plain_scheme = "http://";
constexpr std::string_view root_path = "/";
constexpr std::size_t status_code_chars = 12;  // any int

bool is_ows(char ch) { return ch == ' ' || ch == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_ows(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_ows(s.back())) s.remove_suffix(1);
    return s;
}

// The codings of a Transfer-Encoding value without a final "chunked".
std::string_view without_final_chunked(std::string_view value) {
    std::string_view v = trim(value);
    if (v.size() < chunked_coding.size()) return v;
    std::string_view tail = v.substr(v.size() - chunked_coding.size());
    if (!net::iequals(tail, chunked_coding)) return v;
    v.remove_suffix(chunked_coding.size());
    v = trim(v);
    if (v.empty()) return v;
    if (v.back() != ',') return value;  // "xchunked": some other coding
    v.remove_suffix(1);
    return trim(v);
}

void append_header(std::string& out, std::string_view name, std::string_view value) {
    out.append(name).append(name_separator).append(value).append(line_end);
}

enum class direction { to_backend, to_browser };

void append_headers(std::string& out, const net::http_message& m, const backend_route& r, bool is_https,
                    direction dir) {
    for (const net::http_header& h : m.headers) {
        std::string_view path;
        if (is_https && net::iequals(h.name, location_name) && rewrite_location(h.value, r, path)) {
            append_header(out, location_name, path);
        } else if (net::iequals(h.name, connection_name)) {
            continue;  // replaced by the proxy's own
        } else if (dir == direction::to_browser && m.chunked && net::iequals(h.name, transfer_encoding_name)) {
            std::string_view rest = without_final_chunked(h.value);
            if (!rest.empty()) append_header(out, h.name, rest);
        } else {
            append_header(out, h.name, h.value);
        }
    }
}

void append_end(std::string& out, const char* connection) {
    append_header(out, connection_name, connection);
    out.append(line_end);
}

bool is_path_or_nothing(std::string_view rest) {
    return rest.empty() || rest.front() == '/' || rest.front() == '?' || rest.front() == '#';
}

}  // namespace

void append_request_head(std::string& out, const net::http_message& m, const backend_route& r,
                         bool is_https, const char* connection) {
    out.append(m.method).append(" ").append(r.path_replacement);
    std::string_view rest_of_path = m.uri.substr(std::min(m.uri.size(), r.path_prefix.size()));
    out.append(rest_of_path);
    if (m.has_query) out.append("?").append(m.query);
    out.append(" ").append(m.proto).append(line_end);
    append_headers(out, m, r, is_https, direction::to_backend);
    append_end(out, connection);
}

void append_reply_head(std::string& out, const net::http_message& m, const backend_route& r,
                       bool is_https, const char* connection) {
    char code[status_code_chars];
    auto [end, ec] = std::to_chars(code, code + sizeof code, m.resp_code);
    out.append(m.proto).append(" ").append(code, ec == std::errc{} ? static_cast<std::size_t>(end - code) : 0);
    out.append(" ").append(m.resp_status_msg).append(line_end);
    append_headers(out, m, r, is_https, direction::to_browser);
    append_end(out, connection);
}

bool rewrite_location(std::string_view value, const backend_route& r, std::string_view& path) {
    if (!net::istarts_with(value, plain_scheme)) return false;
    std::string_view rest = value.substr(plain_scheme.size());
    std::string_view host = route_host(r);
    if (host.empty() || !net::istarts_with(rest, host)) return false;
    rest.remove_prefix(host.size());
    if (!rest.empty() && rest.front() == ':') {
        // Only the route's own port names the backend; another port is
        // another server on that host.
        std::string_view port = route_port(r);
        rest.remove_prefix(1);
        if (port.empty() || rest.substr(0, port.size()) != port) return false;
        rest.remove_prefix(port.size());
    }
    if (!is_path_or_nothing(rest)) return false;  // a longer host name
    path = rest.empty() ? root_path : rest;
    return true;
}

bool framing_is_ambiguous(const net::http_message& m) {
    const net::http_header* first_length = nullptr;
    bool has_transfer_encoding = false;
    for (const net::http_header& h : m.headers) {
        if (net::iequals(h.name, transfer_encoding_name)) has_transfer_encoding = true;
        if (!net::iequals(h.name, content_length_name)) continue;
        if (first_length == nullptr)
            first_length = &h;
        else if (trim(first_length->value) != trim(h.value))
            return true;
    }
    if (has_transfer_encoding && (first_length != nullptr || !m.chunked)) return true;
    return false;
}
