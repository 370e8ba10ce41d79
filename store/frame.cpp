#include "store/frame.hpp"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "store/conn_blocking.hpp"
#include "store/conn_server.hpp"

namespace {

// Header (magic, seven digits, separator) into the start of the buffer.
void put_header(char* out, int payload_len) {
    std::memcpy(out, store_magic, store_magic_size);
    // Zero-padded decimal, as "%07d" prints it; callers keep it within range.
    constexpr int decimal_base = 10;
    unsigned v = static_cast<unsigned>(payload_len);
    for (int i = store_length_digits - 1; i >= 0; --i) {
        out[store_length_offset + i] = static_cast<char>('0' + v % decimal_base);
        v /= decimal_base;
    }
    out[store_header_size - 1] = ' ';
}

// Reserves room for a frame of payload_len bytes plus terminator; false when
// it cannot be framed or memory ran out.
bool reserve_frame(store_conn* c, long long payload_len) {
    if (payload_len > store_max_payload) return false;
    int total = store_header_size + static_cast<int>(payload_len);
    store_reserve(c, total);
    return c->buffer != nullptr && c->capacity >= total;
}

char* append(char* at, const char* bytes, std::size_t n) {
    std::memcpy(at, bytes, n);
    return at + n;
}

// Frame from the payload pieces, joined by single spaces and ended by "\n".
int build_joined(store_conn* c, const char* const* parts, const std::size_t* lens, int n) {
    long long payload = n;  // n - 1 separators and the final "\n"
    for (int i = 0; i < n; ++i) payload += static_cast<long long>(lens[i]);
    if (!reserve_frame(c, payload)) return -1;
    put_header(c->buffer, static_cast<int>(payload));
    char* at = c->buffer + store_header_size;
    for (int i = 0; i < n; ++i) {
        at = append(at, parts[i], lens[i]);
        *at++ = i + 1 < n ? ' ' : '\n';
    }
    *at = '\0';
    return store_header_size + static_cast<int>(payload);
}

int recv_exact(store_conn* c, int n) {
    return c->profile == store_profile_server ? store_recv_exact(c, n) : store_recv_once(c, n);
}

}  // namespace

int store_parse_int(int* out, const char* text) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if ((errno == ERANGE && v == LONG_MAX) || v > INT_MAX) return 1;
    if ((errno == ERANGE && v == LONG_MIN) || v < INT_MIN) return 2;
    if (end == text || *end != '\0') return 3;
    *out = static_cast<int>(v);
    return 0;
}

int store_read_frame(store_conn* c) {
    int rc = recv_exact(c, store_header_size);
    if (rc != store_ok) return rc;
    if (std::memcmp(c->buffer, store_magic, store_magic_size) != 0) return store_err_magic;
    c->buffer[store_header_size - 1] = '\0';
    int len = 0;
    if (store_parse_int(&len, c->buffer + store_length_offset) != 0) return store_err_length;
    // A negative length would index before the buffer.
    if (len < 0) return store_err_length;
    if (len > 0) {
        rc = recv_exact(c, len);
        if (rc != store_ok) return rc;
    }
    c->buffer[len] = '\0';
    c->received = len;
    return store_ok;
}

int store_build_word_arg(store_conn* c, const char* word, const char* arg) {
    const char* parts[] = {word, arg};
    const std::size_t lens[] = {std::strlen(word), std::strlen(arg)};
    return build_joined(c, parts, lens, 2);
}

int store_build_list_all(store_conn* c) { return store_build_word_arg(c, store_word_list, store_list_all_arg); }

int store_build_version(store_conn* c) { return store_build_word_arg(c, store_word_version, store_version_arg); }

int store_build_keyvalue(store_conn* c, const char* word, const char* const* args, int n) {
    long long payload = static_cast<long long>(std::strlen(word)) + 1 + n;
    for (int i = 0; i < n; ++i) payload += static_cast<long long>(std::strlen(args[i]));
    if (n < 1 || !reserve_frame(c, payload)) return -1;
    put_header(c->buffer, static_cast<int>(payload));
    char* at = append(c->buffer + store_header_size, word, std::strlen(word));
    *at++ = ' ';
    char* first_arg = at;
    for (int i = 0; i < n; ++i) {
        at = append(at, args[i], std::strlen(args[i]));
        *at++ = i + 1 < n ? ' ' : '\n';
    }
    *at = '\0';
    // key=value: the first '=' separates key from value; the rest stay.
    if (char* eq = std::strchr(first_arg, '='); eq != nullptr) *eq = ' ';
    return store_header_size + static_cast<int>(payload);
}

int store_build_set(store_conn* c, const char* word, const char* key, int klen, const char* value, int vlen) {
    if (klen <= 0 || vlen < 0) return -1;
    if (vlen == 0 && std::strcmp(word, store_word_set) == 0) {
        const char* parts[] = {store_word_remove, key};
        const std::size_t lens[] = {sizeof store_word_remove - 1, static_cast<std::size_t>(klen)};
        return build_joined(c, parts, lens, 2);
    }
    const char* parts[] = {word, key, value};
    const std::size_t lens[] = {std::strlen(word), static_cast<std::size_t>(klen), static_cast<std::size_t>(vlen)};
    return build_joined(c, parts, lens, 3);
}

bool store_is_end(const char* payload) { return std::strstr(payload, store_end_marker) != nullptr; }

bool store_split_value(const char* payload, int len, const char** value, int* vlen) {
    const char* end = payload + len;
    const char* first = static_cast<const char*>(std::memchr(payload, ' ', static_cast<std::size_t>(len)));
    if (first == nullptr) return false;
    const char* second = static_cast<const char*>(std::memchr(first + 1, ' ', static_cast<std::size_t>(end - first - 1)));
    if (second == nullptr) return false;
    const char* v = second + 1;
    auto n = static_cast<int>(end - v);
    if (n == static_cast<int>(sizeof store_no_value - 1) && std::memcmp(v, store_no_value, sizeof store_no_value - 1) == 0) return false;
    *value = v;
    *vlen = n;
    return true;
}

bool store_split_entry(char* payload, int len, char** key, char** value) {
    if (len <= store_entry_key_offset) return false;
    char* k = payload + store_entry_key_offset;
    char* space = static_cast<char*>(std::memchr(k, ' ', static_cast<std::size_t>(payload + len - k)));
    if (space == nullptr) return false;
    *space = '\0';
    if (payload[len - 1] == '\n') payload[len - 1] = '\0';
    *key = k;
    *value = space + 1;
    return true;
}

char* store_entry_as_assignment(char* payload) {
    char* first = std::strchr(payload, ' ');
    if (first == nullptr) return nullptr;
    if (char* second = std::strchr(first + 1, ' '); second != nullptr) *second = '=';
    return first + 1;
}
