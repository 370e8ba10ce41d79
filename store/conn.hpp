// One client connection to the store daemon, shared by both I/O profiles:
// the record, its buffer rule, the socket path and the result codes.
#pragma once

// Result codes of every store operation.
constexpr int store_ok = 0;
constexpr int store_err_io = -1;       // open/send failed, short read, peer closed, not open
constexpr int store_err_recv = -2;     // receive error other than would-block (server profile)
constexpr int store_err_magic = -3;    // frame does not start with the magic
constexpr int store_err_length = -4;   // length field not a number in range
constexpr int store_err_timeout = -13; // receive budget used up (server profile)

// Which exact-receive a record uses; a zero-filled record is a command-line one.
enum store_profile : int { store_profile_blocking = 0, store_profile_server = 1 };

constexpr int store_command_size = 130;     // request word, at most 129 bytes plus terminator
constexpr int store_min_capacity = 2048;    // ordinary frames fit without growing

struct store_conn {
    int fd;                          // -1 after a failed open, 0 in a zeroed record
    char command[store_command_size];
    char* buffer;                    // capacity + 1 bytes, or null with capacity 0
    int capacity;
    int received;                    // bytes of the current receive / length of the last payload
    store_profile profile;
};

constexpr const char* store_default_socket = "/tmp/.larkd_server_sock";
constexpr const char* store_socket_env = "LARKD_SOCKET";

// LARKD_SOCKET when set and not empty, else the default path.
const char* store_socket_path();

// Makes buffer hold at least max(n, 2048) bytes plus a terminator. Contents
// are not kept when it grows. If memory runs out the buffer stays null and
// capacity 0; callers check capacity before using it.
void store_reserve(store_conn* c, int n);

// Connected AF_UNIX stream socket to store_socket_path(), or -1 (errno set).
// Both time-outs are set on the socket before connecting.
int store_connect_unix(int send_timeout_s, int recv_timeout_s);
