// JSON token scanner: any bytes, with a token array that is large, tight or
// tiny.  Besides the sanitizers' checks, every token a successful scan writes
// must lie inside the scanned text and its descendant count inside the array.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <vector>

#include "webkvd/json/json.hpp"

namespace {

constexpr int token_caps[] = {1, 4, 64, 20480};
// Paths the data API looks up, and a few that walk arrays and nesting.
constexpr const char* lookup_paths[] = {"method", "id", "params", "fields", "a.b", "items[2]",
                                        "list[0].name", "[0]", "a[", "a..b", "x[99999999999]"};

void check(bool ok) {
    if (!ok) __builtin_trap();
}

void check_tokens(const char* text, int scanned, const json_token* tokens, int cap) {
    int count = 0;
    while (count < cap && tokens[count].type != TOKEN_END) ++count;
    check(count < cap);  // the end mark is always written
    for (int i = 0; i < count; ++i) {
        const json_token& t = tokens[i];
        check(t.len >= 0 && t.text >= text && t.text + t.len <= text + scanned);
        if (t.type == TOKEN_OBJECT || t.type == TOKEN_ARRAY) check(t.descendants >= 0 && i + t.descendants < count);
    }
    for (const char* path : lookup_paths) {
        const json_token* found = json_lookup(&tokens[0], path);
        check(found == nullptr || (found >= tokens && found < tokens + count));
        // A lookup may start from any container, not only the top.
        if (found != nullptr && (found->type == TOKEN_OBJECT || found->type == TOKEN_ARRAY))
            (void)json_lookup(found, "a[1].b");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size > static_cast<std::size_t>(INT32_MAX)) return 0;
    // An exact-size copy, so that reading one byte past the end is caught.
    std::vector<char> text(data, data + size);
    // Allocated once, each exactly cap tokens long, so that a write past the
    // array is caught.
    static std::vector<json_token> arrays[std::size(token_caps)];
    for (std::size_t k = 0; k < std::size(token_caps); ++k) {
        int cap = token_caps[k];
        std::vector<json_token>& tokens = arrays[k];
        if (tokens.empty()) tokens.resize(static_cast<std::size_t>(cap));
        int r = json_scan(text.data(), static_cast<int>(size), tokens.data(), cap);
        check(r == SCAN_INVALID || r == SCAN_INCOMPLETE || r == SCAN_FULL || (r > 0 && r <= static_cast<int>(size)));
        if (r > 0) check_tokens(text.data(), r, tokens.data(), cap);
    }
    return 0;
}
