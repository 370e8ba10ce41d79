// GET "/_api/<prefix>,<prefix>,...": every key under each prefix, in one
// JSON document.
#include <cstring>
#include <string_view>

#include "webkvd/api/api.hpp"

namespace {

constexpr const char* list_open_chunk = "{\"result\":[";
constexpr const char* list_close_chunk = "]}";
constexpr const char* prefix_first_chunk = "{";
constexpr const char* prefix_next_chunk = ",{";
constexpr const char* prefix_end_chunk = "}\n";
constexpr const char* entry_first_format = "\"%s\":\"%s\"\n";
constexpr const char* entry_next_format = ",\"%s\":\"%s\"\n";

constexpr std::size_t api_prefix_len = 6;  // "/_api/"
constexpr std::size_t min_list_uri = api_prefix_len + 1;
constexpr std::size_t max_list_uri = 4096;

}  // namespace

int api_list_entry(store_conn*, void* ctx, const char*, const char* key, const char* value) {
    auto* reply = static_cast<list_reply*>(ctx);
    if (reply->entries == 0)
        reply->conn->printf_chunk(entry_first_format, key, value);
    else
        reply->conn->printf_chunk(entry_next_format, key, value);
    ++reply->entries;
    return 0;
}

int api_list(client_state& cs, net::connection& c, const net::http_message& m) {
    const std::size_t n = m.uri.size();
    if (n < min_list_uri || n > max_list_uri) return api_bad_uri;
    char prefixes[max_list_uri - api_prefix_len + 1];
    const std::size_t plen = n - api_prefix_len;
    std::memcpy(prefixes, m.uri.data() + api_prefix_len, plen);
    prefixes[plen] = '\0';

    store_conn sc;
    if (store_open(&sc) != 0) return api_too_long;

    c.send_chunk(list_open_chunk);
    list_reply reply{&c, 0};
    int listed = 0;
    // Pieces between commas; empty ones (leading, trailing, doubled commas)
    // are no prefix.
    for (char* p = prefixes; *p != '\0';) {
        char* comma = std::strchr(p, ',');
        char* end = comma ? comma : p + std::strlen(p);
        if (end != p) {
            *end = '\0';
            reply.entries = 0;
            c.send_chunk(listed == 0 ? prefix_first_chunk : prefix_next_chunk);
            // A failed or empty listing still contributes its empty object.
            store_list(&sc, p, &reply, api_list_entry);
            c.send_chunk(prefix_end_chunk);
            ++listed;
        }
        if (comma == nullptr) break;
        p = comma + 1;
    }
    c.send_chunk(list_close_chunk);
    store_close(&sc);
    c.send_last_chunk();
    c.close_after_send();
    cs.client.conn = nullptr;
    return api_done;
}
