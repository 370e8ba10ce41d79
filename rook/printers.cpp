#include "rook/printers.hpp"

#include <cstdio>
#include <cstring>

#include "store/conn_blocking.hpp"

namespace {

constexpr char export_open[] = "export ";
constexpr char export_assign[] = "=\"";
constexpr char export_close[] = "\";";
constexpr char not_exported_message[] = "not exported, not a shell name:%s\n";
constexpr char shell_specials[] = "\\\"$`";   // still special inside double quotes

void put(const char* text, std::size_t n) { std::fwrite(text, 1, n, stdout); }

// Prints the text, adding a line feed unless it ends with one.
void put_line(const char* text, std::size_t n) {
    put(text, n);
    if (n == 0 || text[n - 1] != '\n') std::fputc('\n', stdout);
}

bool is_name_start(char ch) { return ch == '_' || (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z'); }
bool is_name_char(char ch) { return is_name_start(ch) || (ch >= '0' && ch <= '9'); }

// A name the shell accepts as a variable: a letter or '_', then letters, digits, '_'.
bool is_shell_name(const char* key) {
    if (!is_name_start(key[0])) return false;
    for (const char* p = key + 1; *p != '\0'; ++p)
        if (!is_name_char(*p)) return false;
    return true;
}

void put_quoted(const char* value, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (value[i] != '\0' && std::strchr(shell_specials, value[i]) != nullptr) std::fputc('\\', stdout);
        std::fputc(value[i], stdout);
    }
}

// Reads frames up to the end frame, handing each entry payload to print.
template <typename Print>
int read_stream(store_conn* c, Print print) {
    for (;;) {
        int rc = store_read_frame(c);
        if (rc != store_ok) return rc;
        if (store_is_end(c->buffer)) return store_ok;
        print(c->buffer, c->received);
    }
}

}  // namespace

int print_reply(store_conn* c, bool quiet) {
    int rc = store_read_frame(c);
    if (rc == store_ok && !quiet) put_line(c->buffer, static_cast<std::size_t>(c->received));
    return rc;
}

int print_value(store_conn* c) {
    int rc = store_read_frame(c);
    if (rc != store_ok) return rc;
    const char* value = nullptr;
    int n = 0;
    if (store_split_value(c->buffer, c->received, &value, &n))
        put_line(value, static_cast<std::size_t>(n));
    else
        put_line("", 0);
    return store_ok;
}

int print_list(store_conn* c) {
    return read_stream(c, [](char* payload, int len) {
        char* line = store_entry_as_assignment(payload);
        if (line != nullptr) put_line(line, static_cast<std::size_t>(payload + len - line));
    });
}

int print_export(store_conn* c) {
    return read_stream(c, [](char* payload, int len) {
        char* key = nullptr;
        char* value = nullptr;
        if (!store_split_entry(payload, len, &key, &value)) return;
        if (!is_shell_name(key)) {
            std::fflush(stdout);
            std::fprintf(stderr, not_exported_message, key);
            return;
        }
        put(export_open, sizeof export_open - 1);
        put(key, std::strlen(key));
        put(export_assign, sizeof export_assign - 1);
        put_quoted(value, std::strlen(value));
        put(export_close, sizeof export_close - 1);
    });
}
