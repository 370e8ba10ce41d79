// The scanner walks the text with an explicit chain of open containers kept
// inside the token array itself (an open container's len field holds the
// index of its parent until it is closed), so nesting depth costs no stack:
// a body of thousands of '[' cannot exhaust the event loop's stack.
#include "webkvd/json/json.hpp"

#include <climits>
#include <cstring>

namespace {

constexpr int no_container = -1;
// Sequence lengths of a string byte, by its lead byte.
constexpr unsigned char first_two_byte_lead = 0x80;
constexpr unsigned char first_three_byte_lead = 0xE0;
constexpr unsigned char first_four_byte_lead = 0xF0;
constexpr unsigned char first_printable = 0x20;
constexpr int unicode_escape_len = 6;  // \uXXXX
constexpr int unicode_hex_digits = 4;
constexpr int simple_escape_len = 2;

struct json_scanner {
    const char* text;  // start of the input
    const char* end;   // one past the last input byte
    const char* cur;   // scan position
    json_token* tokens;
    int token_cap;
    int token_count;
    int open;  // innermost open container, or no_container
};

bool is_space(char ch) { return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r'; }
bool is_digit(char ch) { return ch >= '0' && ch <= '9'; }
bool is_letter(char ch) { return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); }
bool is_hex(char ch) { return is_digit(ch) || (ch >= 'a' && ch <= 'f') || (ch >= 'A' && ch <= 'F'); }

// Moves past white space; false at the end of input.
bool skip_space(json_scanner& s) {
    while (s.cur < s.end && is_space(*s.cur)) ++s.cur;
    return s.cur < s.end;
}

// Skips space, then steps past ch.  0 or a SCAN_ code.
int expect(json_scanner& s, char ch) {
    if (!skip_space(s)) return SCAN_INCOMPLETE;
    if (*s.cur != ch) return SCAN_INVALID;
    ++s.cur;
    return 0;
}

// Opens a token at at; its index in out.  0 or SCAN_FULL.
int open_token(json_scanner& s, const char* at, int type, int& out) {
    if (s.token_count >= s.token_cap) return SCAN_FULL;
    out = s.token_count++;
    json_token& t = s.tokens[out];
    t.text = at;
    t.len = 0;
    t.descendants = 0;
    t.type = type;
    return 0;
}

void close_token(json_scanner& s, int i, const char* at) {
    json_token& t = s.tokens[i];
    t.len = static_cast<int>(at - t.text);
    t.descendants = s.token_count - i - 1;
}

int scan_digits(json_scanner& s) {
    if (s.cur >= s.end) return SCAN_INCOMPLETE;
    if (!is_digit(*s.cur)) return SCAN_INVALID;
    while (s.cur < s.end && is_digit(*s.cur)) ++s.cur;
    return 0;
}

int scan_number(json_scanner& s) {
    int i = 0;
    if (int rc = open_token(s, s.cur, TOKEN_NUMBER, i)) return rc;
    if (*s.cur == '-') ++s.cur;
    if (int rc = scan_digits(s)) return rc;
    if (s.cur < s.end && *s.cur == '.') {
        ++s.cur;
        if (int rc = scan_digits(s)) return rc;
    }
    if (s.cur < s.end && (*s.cur == 'e' || *s.cur == 'E')) {
        ++s.cur;
        if (s.cur >= s.end) return SCAN_INCOMPLETE;
        if (*s.cur == '+' || *s.cur == '-') ++s.cur;
        if (int rc = scan_digits(s)) return rc;
    }
    close_token(s, i, s.cur);
    return 0;
}

int sequence_length(unsigned char b) {
    if (b < first_two_byte_lead) return 1;
    if (b >= first_four_byte_lead) return 4;
    if (b >= first_three_byte_lead) return 3;
    return 2;
}

// Escape after a backslash at s.cur; its length in len.  0 or a SCAN_ code.
int escape_length(const json_scanner& s, int& len) {
    switch (s.cur[1]) {
        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't':
            len = simple_escape_len;
            return 0;
        case 'u':
            if (s.end - s.cur < unicode_escape_len) return SCAN_INCOMPLETE;
            for (int k = 0; k < unicode_hex_digits; ++k)
                if (!is_hex(s.cur[2 + k])) return SCAN_INVALID;
            len = unicode_escape_len;
            return 0;
        default:
            return SCAN_INVALID;
    }
}

// At the opening quote (already checked).
int scan_string(json_scanner& s) {
    ++s.cur;
    int i = 0;
    if (int rc = open_token(s, s.cur, TOKEN_STRING, i)) return rc;
    for (;;) {
        if (s.cur >= s.end) return SCAN_INCOMPLETE;
        const auto b = static_cast<unsigned char>(*s.cur);
        int len = sequence_length(b);
        if (b < first_printable) return SCAN_INVALID;
        // The closing quote may not be the last byte: inside a container a
        // complete text always has the closer after it.
        if (s.end - s.cur <= len) return SCAN_INCOMPLETE;
        if (b == '\\') {
            if (int rc = escape_length(s, len)) return rc;
        } else if (b == '"') {
            close_token(s, i, s.cur);
            ++s.cur;
            return 0;
        }
        s.cur += len;
    }
}

int scan_literal(json_scanner& s, const char* word, int type) {
    int i = 0;
    if (int rc = open_token(s, s.cur, type, i)) return rc;
    for (const char* w = word; *w != '\0'; ++w, ++s.cur) {
        if (s.cur >= s.end) return SCAN_INCOMPLETE;
        if (*s.cur != *w) return SCAN_INVALID;
    }
    close_token(s, i, s.cur);
    return 0;
}

// Opens an object or array at s.cur and makes it the innermost container.
int open_container(json_scanner& s, int type) {
    int i = 0;
    if (int rc = open_token(s, s.cur, type, i)) return rc;
    s.tokens[i].len = s.open;  // parent link while open
    s.open = i;
    ++s.cur;
    return 0;
}

// A value at the next non-space byte.  A container is only opened; its
// members are scanned by the main loop.
int scan_value(json_scanner& s) {
    if (!skip_space(s)) return SCAN_INCOMPLETE;
    switch (*s.cur) {
        case '"': return scan_string(s);
        case '[': return open_container(s, TOKEN_ARRAY);
        case '{': return open_container(s, TOKEN_OBJECT);
        case 't': return scan_literal(s, "true", TOKEN_TRUE);
        case 'f': return scan_literal(s, "false", TOKEN_FALSE);
        case 'n': return scan_literal(s, "null", TOKEN_NULL);
        default:
            if (*s.cur == '-' || is_digit(*s.cur)) return scan_number(s);
            return SCAN_INVALID;
    }
}

int scan_key(json_scanner& s) {
    if (!skip_space(s)) return SCAN_INCOMPLETE;
    if (*s.cur == '"') return scan_string(s);
    if (!is_letter(*s.cur)) return SCAN_INVALID;
    int i = 0;
    if (int rc = open_token(s, s.cur, TOKEN_STRING, i)) return rc;
    while (s.cur < s.end && (is_letter(*s.cur) || is_digit(*s.cur) || *s.cur == '_')) ++s.cur;
    close_token(s, i, s.cur);
    return 0;
}

// After a member or element: one optional comma.
void skip_comma(json_scanner& s) {
    if (skip_space(s) && *s.cur == ',') ++s.cur;
}

// Scans the members of the open containers until the top-level one closes.
int scan_containers(json_scanner& s) {
    while (s.open != no_container) {
        if (!skip_space(s)) return SCAN_INCOMPLETE;
        const int i = s.open;
        const int type = s.tokens[i].type;
        const char closer = type == TOKEN_OBJECT ? '}' : ']';
        if (*s.cur == closer) {
            ++s.cur;
            s.open = s.tokens[i].len;
            close_token(s, i, s.cur);
        } else {
            if (type == TOKEN_OBJECT) {
                if (int rc = scan_key(s)) return rc;
                if (int rc = expect(s, ':')) return rc;
            }
            if (int rc = scan_value(s)) return rc;
            // A container just opened gets its comma when it closes.
            if (s.open != i) continue;
        }
        if (s.open != no_container) skip_comma(s);
    }
    return 0;
}

}  // namespace

int json_scan(const char* text, int len, json_token* tokens, int token_cap) {
    if (text == nullptr || len < 0) return SCAN_INVALID;
    if (len == 0) return SCAN_INCOMPLETE;
    json_scanner s{text, text + len, text, tokens, tokens == nullptr ? 0 : token_cap, 0, no_container};
    if (!skip_space(s)) return SCAN_INCOMPLETE;
    int rc = 0;
    if (*s.cur == '{') rc = open_container(s, TOKEN_OBJECT);
    else if (*s.cur == '[') rc = open_container(s, TOKEN_ARRAY);
    else return SCAN_INVALID;
    if (rc == 0) rc = scan_containers(s);
    if (rc != 0) return rc;
    int end_token = 0;
    if (int full = open_token(s, s.cur, TOKEN_END, end_token)) return full;
    close_token(s, end_token, s.cur);
    return static_cast<int>(s.cur - s.text);
}

namespace {

bool is_container(const json_token& t) { return t.type == TOKEN_OBJECT || t.type == TOKEN_ARRAY; }

// One path segment: a key (possibly empty) or an index "[k]".
struct path_segment {
    bool is_index;
    const char* key;
    int key_len;
    long long index;
    int covers;  // bytes of path the segment takes
};

bool parse_segment(const char* path, path_segment& seg) {
    if (path[0] != '[') {
        int n = 0;
        while (path[n] != '\0' && path[n] != '.' && path[n] != '[') ++n;
        seg = {false, path, n, 0, n};
        return true;
    }
    if (!is_digit(path[1])) return false;
    long long k = 0;
    int n = 1;
    for (; path[n] != ']'; ++n) {
        if (!is_digit(path[n])) return false;  // also the end of the path
        // Indexes beyond any array's size can never match; keep k from overflowing.
        if (k <= INT_MAX) k = k * 10 + (path[n] - '0');
    }
    seg = {true, nullptr, 0, k, n + 1};
    return true;
}

const json_token* find_child(const json_token* token, const path_segment& seg) {
    const bool in_object = token->type == TOKEN_OBJECT;
    long long i = 0;
    for (int p = 0; p < token->descendants; ++i) {
        const json_token* at = token + 1 + p;
        if (in_object) {
            if (at->type != TOKEN_STRING) return nullptr;
            if (p + 1 >= token->descendants) return nullptr;
            if (at->len == seg.key_len && std::memcmp(at->text, seg.key, static_cast<std::size_t>(seg.key_len)) == 0)
                return at + 1;
        } else if (i == seg.index) {
            return at;
        }
        const json_token* value = in_object ? at + 1 : at;
        p += (is_container(*value) ? value->descendants : 0) + (in_object ? 2 : 1);
    }
    return nullptr;
}

}  // namespace

const json_token* json_lookup(const json_token* token, const char* path) {
    if (token == nullptr || path == nullptr || *path == '\0') return nullptr;
    for (;;) {
        path_segment seg{};
        if (!parse_segment(path, seg)) return nullptr;
        if (token->type != (seg.is_index ? TOKEN_ARRAY : TOKEN_OBJECT)) return nullptr;
        const json_token* found = find_child(token, seg);
        if (found == nullptr) return nullptr;
        path += seg.covers;
        if (*path == '.') ++path;
        if (*path == '\0') return found;
        token = found;
    }
}
