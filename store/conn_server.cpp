#include "store/conn_server.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

constexpr long long ms_per_s = 1000;
constexpr long long ns_per_ms = 1000000;

// Monotonic milliseconds: a clock step must not stretch or cut a budget.
long long now_ms() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * ms_per_s + ts.tv_nsec / ns_per_ms;
}

// Waits for the event until the deadline. False once the deadline has passed.
bool wait_until(int fd, short events, long long deadline) {
    for (;;) {
        long long left = deadline - now_ms();
        if (left < 0) return false;
        pollfd p{fd, events, 0};
        // Round up so that a wait never spins on a zero time-out before the deadline.
        int rc = poll(&p, 1, static_cast<int>(left) + 1);
        if (rc > 0) return true;
        if (rc < 0 && errno != EINTR) return true;  // the next call reports the error
    }
}

}  // namespace

int store_open(store_conn* c) {
    std::memset(c, 0, sizeof *c);
    c->profile = store_profile_server;
    int fd = store_connect_unix(store_connect_timeout_s, 0);
    if (fd < 0) {
        c->fd = -1;
        return store_err_io;
    }
    c->fd = fd;
    int flags = fcntl(fd, F_GETFL);
    (void)fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    return store_ok;
}

int store_send_all(store_conn* c, int n, int budget_ms) {
    if (c->fd <= 0 || c->buffer == nullptr) return store_err_io;
    long long deadline = now_ms() + budget_ms;
    int sent = 0;
    while (sent < n) {
        // MSG_NOSIGNAL: a daemon that went away is a result code, not a signal.
        ssize_t rc = send(c->fd, c->buffer + sent, static_cast<std::size_t>(n - sent), MSG_NOSIGNAL);
        if (rc >= 0) {
            sent += static_cast<int>(rc);
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_until(c->fd, POLLOUT, deadline)) return store_err_io;
        } else if (errno != EINTR) {
            return store_err_io;
        }
    }
    return store_ok;
}

int store_recv_exact(store_conn* c, int n) {
    store_reserve(c, n);
    c->received = 0;
    if (c->buffer == nullptr || c->capacity < n) return store_err_io;
    long long deadline = now_ms() + store_recv_budget_ms;
    while (c->received < n) {
        ssize_t rc = recv(c->fd, c->buffer + c->received, static_cast<std::size_t>(n - c->received), 0);
        if (rc > 0) {
            c->received += static_cast<int>(rc);
        } else if (rc == 0) {
            return store_err_io;
        } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
            if (!wait_until(c->fd, POLLIN, deadline)) return store_err_timeout;
        } else if (errno != EINTR) {
            return store_err_recv;
        }
    }
    return store_ok;
}

int store_set(store_conn* c, const char* word, const char* key, int klen, const char* value, int vlen) {
    if (c->fd <= 0 || klen <= 0) return store_err_io;
    int n = store_build_set(c, word, key, klen, value, vlen);
    if (n < 0) return store_err_io;
    if (store_send_all(c, n, store_set_send_budget_ms) != store_ok) return store_err_io;
    // The acknowledgement says nothing the caller acts on.
    (void)store_read_frame(c);
    return store_ok;
}

int store_list(store_conn* c, const char* prefix, void* ctx, store_list_callback cb) {
    if (c->fd <= 0) return store_err_io;
    int n = store_build_word_arg(c, store_word_list, prefix);
    if (n < 0) return store_err_io;
    if (store_send_all(c, n, store_list_send_budget_ms) != store_ok) return store_err_io;
    for (;;) {
        int rc = store_read_frame(c);
        if (rc != store_ok) return rc;
        if (store_is_end(c->buffer)) return store_ok;
        char* key = nullptr;
        char* value = nullptr;
        // An entry without a key and value is not an entry; pass over it.
        if (!store_split_entry(c->buffer, c->received, &key, &value)) continue;
        if (cb(c, ctx, prefix, key, value) != 0) return store_ok;
    }
}

int store_close(store_conn* c) {
    std::free(c->buffer);
    c->buffer = nullptr;
    c->capacity = 0;
    if (c->fd > 0) close(c->fd);
    c->fd = -1;
    return store_ok;
}
