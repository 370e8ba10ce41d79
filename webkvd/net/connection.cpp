// The parts of the connection interface that do not depend on the transport.
#include "webkvd/net/connection.hpp"

#include <cstdio>

namespace net {

namespace {
constexpr const char* last_chunk_text = "0\r\n\r\n";
constexpr std::size_t printf_stack_bytes = 1024;
}  // namespace

static char lower(char ch) { return (ch >= 'A' && ch <= 'Z') ? static_cast<char>(ch + ('a' - 'A')) : ch; }

bool iequals(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool istarts_with(std::string_view s, std::string_view prefix) {
    return s.size() >= prefix.size() && iequals(s.substr(0, prefix.size()), prefix);
}

const http_header* http_message::header(std::string_view name) const {
    for (const auto& h : headers)
        if (iequals(h.name, name)) return &h;
    return nullptr;
}

void connection::vprintf(const char* fmt, std::va_list ap) {
    char small[printf_stack_bytes];
    std::va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(small, sizeof small, fmt, copy);
    va_end(copy);
    if (n < 0) return;
    if (static_cast<std::size_t>(n) < sizeof small) {
        send(std::string_view(small, static_cast<std::size_t>(n)));
        return;
    }
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(big.data(), big.size(), fmt, ap);
    big.resize(static_cast<std::size_t>(n));
    send(big);
}

void connection::printf(const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    vprintf(fmt, ap);
    va_end(ap);
}

void connection::send_chunk(std::string_view data) {
    if (data.empty()) return;
    char head[32];
    int n = std::snprintf(head, sizeof head, "%zx\r\n", data.size());
    std::string piece;
    piece.reserve(static_cast<std::size_t>(n) + data.size() + 2);
    piece.append(head, static_cast<std::size_t>(n)).append(data).append("\r\n");
    send(piece);
}

void connection::printf_chunk(const char* fmt, ...) {
    std::va_list ap;
    va_start(ap, fmt);
    std::va_list copy;
    va_copy(copy, ap);
    int n = std::vsnprintf(nullptr, 0, fmt, copy);
    va_end(copy);
    if (n > 0) {
        std::string text(static_cast<std::size_t>(n) + 1, '\0');
        std::vsnprintf(text.data(), text.size(), fmt, ap);
        text.resize(static_cast<std::size_t>(n));
        send_chunk(text);
    }
    va_end(ap);
}

void connection::send_last_chunk() { send(last_chunk_text); }

}  // namespace net
