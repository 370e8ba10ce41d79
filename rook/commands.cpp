#include "rook/commands.hpp"

#include <cstdio>
#include <cstring>

#include "rook/bulk.hpp"
#include "rook/printers.hpp"
#include "store/conn_blocking.hpp"

extern char** environ;

namespace {

constexpr const char* help_lines[] = {
    "help:",
    "rook set key=value",
    "rook get key",
    "rook list key",
    "rook listall",
    "rook version",
    "rook remove key",
    "rook export key",
    "rook import filename.txt",
    "rook update key",
    "rook inc key=value",
    "rook desc key=value",
};

constexpr char too_large_message[] = "request too large, not sent\n";
constexpr char import_word[] = "import";
constexpr char save_word[] = "save";
constexpr char export_word[] = "export";
constexpr char listall_word[] = "listall";

void set_command(store_conn* c, const char* word) {
    std::strncpy(c->command, word, store_command_size - 1);
    c->command[store_command_size - 1] = '\0';
}

// Sends a built frame; false (with a message) when it could not be built.
bool send_built(store_conn* c, int frame_len) {
    if (frame_len < 0) {
        std::fputs(too_large_message, stderr);
        return false;
    }
    store_send_once(c, frame_len);
    return true;
}

bool send_word_arg(store_conn* c, const char* word, const char* arg) {
    set_command(c, word);
    return send_built(c, store_build_word_arg(c, c->command, arg));
}

// set, inc and desc: key=value and any further words joined to the value.
bool send_keyvalue(store_conn* c, const char* word, int nargs, char** args) {
    set_command(c, word);
    return send_built(c, store_build_keyvalue(c, c->command, args, nargs));
}

int status_of_value(int rc) { return rc == store_ok ? rook_exit_ok : rook_exit_failure; }

}  // namespace

void rook_print_help() {
    for (const char* line : help_lines) std::puts(line);
}

int rook_run(store_conn* c, int nargs, char** args) {
    if (nargs < 1) {
        rook_print_help();
        return rook_exit_ok;
    }
    const char* word = args[0];
    int n = nargs - 1;
    char** rest = args + 1;
    auto is = [word](const char* w) { return std::strcmp(word, w) == 0; };
    bool needs_arg = is(store_word_list) || is(export_word) || is(import_word) || is(save_word) ||
                     is(store_word_get) || is(store_word_remove) || is(store_word_set) ||
                     is(store_word_inc) || is(store_word_desc);
    bool keyvalue = is(store_word_set) || is(store_word_inc) || is(store_word_desc);
    if ((needs_arg && n < 1) || (keyvalue && std::strchr(rest[0], '=') == nullptr)) {
        rook_print_help();
        return rook_exit_ok;
    }

    if (is(store_word_list)) {
        if (send_word_arg(c, store_word_list, rest[0])) (void)print_list(c);
    } else if (is(listall_word)) {
        set_command(c, store_word_list);
        if (send_built(c, store_build_list_all(c))) (void)print_list(c);
    } else if (is(store_word_version)) {
        set_command(c, store_word_version);
        if (send_built(c, store_build_version(c))) (void)print_reply(c, false);
    } else if (is(export_word)) {
        if (send_word_arg(c, store_word_list, rest[0])) (void)print_export(c);
    } else if (is(import_word)) {
        return rook_import(c, rest[0]);
    } else if (is(save_word)) {
        return rook_save(c, rest[0], environ);
    } else if (is(store_word_get)) {
        if (!send_word_arg(c, store_word_get, rest[0])) return rook_exit_failure;
        return status_of_value(print_value(c));
    } else if (is(store_word_remove)) {
        if (!send_word_arg(c, store_word_remove, rest[0])) return rook_exit_failure;
    } else if (is(store_word_set)) {
        if (!send_keyvalue(c, store_word_set, n, rest)) return rook_exit_failure;
    } else if (is(store_word_inc)) {
        // inc reports nothing through its status, whatever the reply.
        if (!send_keyvalue(c, store_word_inc, n, rest)) return rook_exit_failure;
        (void)print_value(c);
    } else if (is(store_word_desc)) {
        if (!send_keyvalue(c, store_word_desc, n, rest)) return rook_exit_failure;
        return status_of_value(print_value(c));
    }
    return rook_exit_ok;
}
