#include "webkvd/cgi/cgi_head.hpp"

#include <array>

#include "webkvd/net/connection.hpp"

namespace cgi {

namespace {

constexpr std::string_view http_version = "HTTP/1.1 ";
constexpr std::string_view crlf = "\r\n";
constexpr int min_status = 100;
constexpr int max_status = 599;
constexpr int redirect_status = 302;
constexpr std::string_view redirect_reason = "Found";
constexpr std::string_view default_status_line = "HTTP/1.1 200 OK\r\n";
constexpr std::string_view unnamed_reason = "Status";

struct reason {
    int code;
    std::string_view text;
};
constexpr std::array reasons{
    reason{200, "OK"},           reason{201, "Created"},          reason{204, "No Content"},
    reason{301, "Moved Permanently"}, reason{302, "Found"},       reason{303, "See Other"},
    reason{304, "Not Modified"}, reason{307, "Temporary Redirect"}, reason{308, "Permanent Redirect"},
    reason{400, "Bad Request"},  reason{401, "Unauthorized"},     reason{403, "Forbidden"},
    reason{404, "Not Found"},    reason{405, "Method Not Allowed"}, reason{500, "Internal Server Error"},
    reason{502, "Bad Gateway"},  reason{503, "Service Unavailable"},
};

std::string_view default_reason(int code) {
    for (const auto& r : reasons)
        if (r.code == code) return r.text;
    return unnamed_reason;
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

bool is_token_char(char ch) {
    if ((ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9')) return true;
    return std::string_view("!#$%&'*+-.^_`|~").find(ch) != std::string_view::npos;
}

bool is_field_name(std::string_view name) {
    if (name.empty()) return false;
    for (char ch : name)
        if (!is_token_char(ch)) return false;
    return true;
}

bool has_control_chars(std::string_view value) {
    for (char ch : value)
        if ((static_cast<unsigned char>(ch) < 0x20 && ch != '\t') || ch == 0x7f) return true;
    return false;
}

bool parse_status(std::string_view value, std::string& line) {
    if (value.size() < 3) return false;
    int code = 0;
    for (std::size_t i = 0; i < 3; ++i) {
        char ch = value[i];
        if (ch < '0' || ch > '9') return false;
        code = code * 10 + (ch - '0');
    }
    if (code < min_status || code > max_status) return false;
    if (value.size() > 3 && value[3] != ' ') return false;
    std::string_view text = value.size() > 3 ? trim(value.substr(4)) : std::string_view{};
    if (text.empty()) text = default_reason(code);
    line.assign(http_version);
    line.append(value.substr(0, 3));
    line.push_back(' ');
    line.append(text);
    line.append(crlf);
    return true;
}

bool parse_length(std::string_view value, std::int64_t& out) {
    constexpr std::int64_t limit = (INT64_MAX - 9) / 10;
    if (value.empty()) return false;
    std::int64_t v = 0;
    for (char ch : value) {
        if (ch < '0' || ch > '9' || v > limit) return false;
        v = v * 10 + (ch - '0');
    }
    out = v;
    return true;
}

}  // namespace

bool find_head_end(std::string_view out, std::size_t& head_len, std::size_t& body_start) {
    for (std::size_t i = 0; i < out.size(); ++i) {
        if (out[i] != '\n') continue;
        // A blank line: "\n" at the very start, or "\n" right after "\n" or "\n\r".
        if (i == 0 || (i == 1 && out[0] == '\r')) {
            head_len = 0;
            body_start = i + 1;
            return true;
        }
        if (out[i - 1] == '\n' || (out[i - 1] == '\r' && i >= 2 && out[i - 2] == '\n')) {
            head_len = out[i - 1] == '\r' ? i - 1 : i;
            body_start = i + 1;
            return true;
        }
    }
    return false;
}

bool parse_program_head(std::string_view block, program_head& out) {
    out = program_head();
    bool has_status = false, has_type = false, has_location = false;
    while (!block.empty()) {
        std::size_t eol = block.find('\n');
        std::string_view line = block.substr(0, eol);
        block = eol == std::string_view::npos ? std::string_view{} : block.substr(eol + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) continue;
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) return false;
        std::string_view name = line.substr(0, colon);
        std::string_view value = trim(line.substr(colon + 1));
        if (!is_field_name(name) || has_control_chars(value)) return false;
        if (net::iequals(name, "Status")) {
            if (has_status || !parse_status(value, out.status_line)) return false;
            has_status = true;
            continue;
        }
        if (net::iequals(name, "Content-Length")) {
            if (out.content_length >= 0 || !parse_length(value, out.content_length)) return false;
        } else if (net::iequals(name, "Connection") || net::iequals(name, "Keep-Alive") ||
                   net::iequals(name, "Transfer-Encoding")) {
            continue;
        }
        if (net::iequals(name, "Content-Type")) has_type = true;
        if (net::iequals(name, "Location")) has_location = true;
        if (net::iequals(name, "Content-Length")) continue;  // the server writes its own
        out.fields.append(name);
        out.fields.append(": ");
        out.fields.append(value);
        out.fields.append(crlf);
    }
    if (!has_status && !has_type && !has_location) return false;
    if (!has_status) {
        if (has_location) {
            out.status_line.assign(http_version);
            out.status_line.append(std::to_string(redirect_status));
            out.status_line.push_back(' ');
            out.status_line.append(redirect_reason);
            out.status_line.append(crlf);
        } else {
            out.status_line.assign(default_status_line);
        }
    }
    return true;
}

}  // namespace cgi
