#include "store/conn_blocking.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

int store_open_blocking() { return store_connect_unix(store_blocking_timeout_s, store_blocking_timeout_s); }

void store_send_once(store_conn* c, int n) {
    if (c->buffer == nullptr || n <= 0) return;
    (void)!write(c->fd, c->buffer, static_cast<std::size_t>(n));
}

int store_recv_once(store_conn* c, int n) {
    store_reserve(c, n);
    c->received = 0;
    if (c->buffer == nullptr || c->capacity < n) return store_err_io;
    // A stream socket may deliver a frame in pieces; every wait is still
    // bounded by the socket's receive time-out.
    while (c->received < n) {
        ssize_t got = read(c->fd, c->buffer + c->received, static_cast<std::size_t>(n - c->received));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return store_err_io;
        c->received += static_cast<int>(got);
    }
    return store_ok;
}

void store_close_blocking(store_conn* c) {
    std::free(c->buffer);
    c->buffer = nullptr;
    c->capacity = 0;
    if (c->fd > 0) close(c->fd);
    c->fd = -1;
}
