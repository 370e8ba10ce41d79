#include "store/conn.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

const char* store_socket_path() {
    const char* path = std::getenv(store_socket_env);
    return (path != nullptr && path[0] != '\0') ? path : store_default_socket;
}

void store_reserve(store_conn* c, int n) {
    int need = n < store_min_capacity ? store_min_capacity : n;
    if (c->buffer != nullptr && need > c->capacity) {
        std::free(c->buffer);
        c->buffer = nullptr;
        c->capacity = 0;
    }
    if (c->buffer == nullptr) {
        c->buffer = static_cast<char*>(std::malloc(static_cast<std::size_t>(need) + 1));
        c->capacity = c->buffer != nullptr ? need : 0;
    }
}

namespace {

void set_timeout(int fd, int option, int seconds) {
    timeval tv{};
    tv.tv_sec = seconds;
    (void)setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv);
}

}  // namespace

int store_connect_unix(int send_timeout_s, int recv_timeout_s) {
    const char* path = store_socket_path();
    sockaddr_un addr{};
    std::size_t len = std::strlen(path);
    if (len >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    // Descriptor 0 means "never opened" in a zeroed record; with standard
    // input closed the socket could get it, so move it out of the way.
    if (fd == 0) {
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 1);
        close(fd);
        if (moved < 0) return -1;
        fd = moved;
    }
    if (send_timeout_s > 0) set_timeout(fd, SO_SNDTIMEO, send_timeout_s);
    if (recv_timeout_s > 0) set_timeout(fd, SO_RCVTIMEO, recv_timeout_s);
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path, len);
    auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), addr_len) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}
