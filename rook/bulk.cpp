#include "rook/bulk.hpp"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "rook/commands.hpp"
#include "rook/printers.hpp"
#include "store/conn_blocking.hpp"

namespace {

constexpr char file_not_found_message[] = "file not found:%s\n";
constexpr char line_too_large_message[] = "line %ld too large, skipped\n";
constexpr char entry_too_large_message[] = "environment entry too large, skipped\n";
constexpr char comment_mark = '#';

void set_word(store_conn* c) {
    std::strncpy(c->command, store_word_set, store_command_size - 1);
    c->command[store_command_size - 1] = '\0';
}

// Drops leading blanks and line feeds and trailing blanks, carriage returns
// and line feeds (tabs stay); returns the trimmed line.
char* trim(char* line) {
    char* start = line;
    while (*start == ' ' || *start == '\n') ++start;
    std::size_t n = std::strlen(start);
    while (n > 0 && (start[n - 1] == ' ' || start[n - 1] == '\r' || start[n - 1] == '\n')) --n;
    start[n] = '\0';
    return start;
}

bool usable(const char* line) {
    return line[0] != '\0' && line[0] != comment_mark && std::strchr(line, '=') != nullptr;
}

}  // namespace

int rook_import(store_conn* c, const char* file_name) {
    FILE* file = std::fopen(file_name, "r");
    if (file == nullptr) {
        std::fprintf(stderr, file_not_found_message, file_name);
        return rook_exit_ok;
    }
    set_word(c);
    char* buffer = nullptr;
    std::size_t size = 0;
    long number = 0;
    while (getline(&buffer, &size, file) >= 0) {
        ++number;
        char* line = trim(buffer);
        if (!usable(line)) continue;
        const char* args[] = {line};
        int frame_len = store_build_keyvalue(c, c->command, args, 1);
        if (frame_len < 0) {
            std::fprintf(stderr, line_too_large_message, number);
            continue;
        }
        store_send_once(c, frame_len);
        // A missing acknowledgement costs the receive time-out; the import goes on.
        (void)print_reply(c, true);
    }
    std::free(buffer);
    std::fclose(file);
    return rook_exit_ok;
}

int rook_save(store_conn* c, const char* prefix, char** environment) {
    set_word(c);
    std::size_t p = std::strlen(prefix);
    for (char** entry = environment; entry != nullptr && *entry != nullptr; ++entry) {
        // The prefix is matched against the whole entry, value included.
        if (std::strncmp(*entry, prefix, p) != 0) continue;
        if (std::strchr(*entry, '=') == nullptr) continue;
        const char* args[] = {*entry};
        int frame_len = store_build_keyvalue(c, c->command, args, 1);
        if (frame_len < 0) {
            std::fputs(entry_too_large_message, stderr);
            continue;
        }
        store_send_once(c, frame_len);
    }
    return rook_exit_ok;
}
