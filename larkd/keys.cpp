#include "larkd/keys.hpp"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

#include "store/frame.hpp"

namespace {

constexpr std::string_view ack_reply = "ok\n";
constexpr std::string_view value_field = "val";       // value reply: "val KEY VALUE\n"
constexpr std::string_view error_field = "err";       // failed inc/desc: "err KEY none\n"
constexpr std::string_view entry_field = "list";      // list entry: "list KEY VALUE\n" (four characters)
constexpr std::string_view end_reply = "list __end__\n";
constexpr std::string_view version_reply = "larkd 1.0.0\n";
constexpr std::string_view unknown_reply = "err unknown request\n";
constexpr std::string_view none_value = "none";
constexpr std::string_view too_large_reply = "err reply too large\n";

struct request {
    std::string_view word;
    std::string_view key;     // first field after the word
    std::string_view value;   // everything after the key and its space
};

request split(std::string_view payload) {
    if (!payload.empty() && payload.back() == '\n') payload.remove_suffix(1);
    request r;
    auto space = payload.find(' ');
    r.word = payload.substr(0, space);
    if (space == std::string_view::npos) return r;
    std::string_view rest = payload.substr(space + 1);
    space = rest.find(' ');
    r.key = rest.substr(0, space);
    if (space != std::string_view::npos) r.value = rest.substr(space + 1);
    return r;
}

void append_fields(std::string& out, std::string_view field, std::string_view key, std::string_view value) {
    std::string payload;
    payload.reserve(field.size() + key.size() + value.size() + 3);
    payload.append(field).append(1, ' ').append(key).append(1, ' ').append(value).append(1, '\n');
    larkd_append_frame(out, payload);
}

// Whole-text signed decimal; false for anything else, overflow included.
bool parse_integer(std::string_view text, std::int64_t* out) {
    if (text.empty()) return false;
    std::string copy(text);
    if (copy[0] == ' ' || copy[0] == '\t' || copy[0] == '\n') return false;
    char* end = nullptr;
    errno = 0;
    long long v = std::strtoll(copy.c_str(), &end, 10);
    if (errno == ERANGE || end != copy.c_str() + copy.size()) return false;
    *out = v;
    return true;
}

// inc and desc: the stored integer (0 when absent) plus or minus the amount.
void add(larkd_keys& keys, const request& r, bool subtract, std::string& out, bool* changed) {
    std::int64_t amount = 0;
    std::int64_t current = 0;
    auto it = keys.find(r.key);
    bool ok = parse_integer(r.value, &amount) && (it == keys.end() || parse_integer(it->second, &current));
    std::int64_t result = 0;
    if (ok) ok = !(subtract ? __builtin_sub_overflow(current, amount, &result) : __builtin_add_overflow(current, amount, &result));
    if (!ok) {
        append_fields(out, error_field, r.key, none_value);
        return;
    }
    char digits[32];
    std::snprintf(digits, sizeof digits, "%" PRId64, result);
    keys.insert_or_assign(std::string(r.key), std::string(digits));
    *changed = true;
    append_fields(out, value_field, r.key, digits);
}

void list(const larkd_keys& keys, std::string_view arg, std::string& out) {
    bool all = arg == store_list_all_arg;
    for (auto it = all ? keys.begin() : keys.lower_bound(arg); it != keys.end(); ++it) {
        if (!all && !it->first.starts_with(arg)) break;
        append_fields(out, entry_field, it->first, it->second);
    }
    larkd_append_frame(out, end_reply);
}

}  // namespace

void larkd_append_frame(std::string& out, std::string_view payload) {
    // An entry is one byte longer than the set that stored it, so the
    // largest values cannot be listed.
    if (payload.size() > static_cast<std::size_t>(store_max_payload)) payload = too_large_reply;
    char header[store_header_size + 1];
    std::snprintf(header, sizeof header, "%s%07d ", store_magic, static_cast<int>(payload.size()));
    out.append(header, store_header_size);
    out.append(payload);
}

void larkd_handle_request(larkd_keys& keys, std::string_view payload, std::string& out, bool* changed) {
    request r = split(payload);
    if (r.word == store_word_set) {
        keys.insert_or_assign(std::string(r.key), std::string(r.value));
        *changed = true;
        larkd_append_frame(out, ack_reply);
    } else if (r.word == store_word_remove) {
        if (auto it = keys.find(r.key); it != keys.end()) {
            keys.erase(it);
            *changed = true;
        }
        larkd_append_frame(out, ack_reply);
    } else if (r.word == store_word_get) {
        auto it = keys.find(r.key);
        append_fields(out, value_field, r.key, it != keys.end() ? std::string_view(it->second) : none_value);
    } else if (r.word == store_word_inc || r.word == store_word_desc) {
        add(keys, r, r.word == store_word_desc, out, changed);
    } else if (r.word == store_word_list) {
        list(keys, r.key, out);
    } else if (r.word == store_word_version) {
        larkd_append_frame(out, version_reply);
    } else {
        larkd_append_frame(out, unknown_reply);
    }
}
