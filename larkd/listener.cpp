#include "larkd/listener.hpp"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace {

constexpr int listen_backlog = 128;
constexpr char in_use_message[] = " is in use by a running store daemon";
constexpr char not_socket_message[] = " exists and is not a socket";
constexpr char too_long_message[] = "socket path too long: ";

ino_t own_inode = 0;
dev_t own_device = 0;

bool make_address(const std::string& path, sockaddr_un* addr, socklen_t* len) {
    if (path.empty() || path.size() >= sizeof addr->sun_path) return false;
    *addr = sockaddr_un{};
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, path.data(), path.size());
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size());
    return true;
}

// True when a daemon accepts connections on the address.
bool someone_listens(const sockaddr_un& addr, socklen_t len) {
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return false;
    bool live = connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
    close(fd);
    return live;
}

std::string failed(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

}  // namespace

int larkd_listen(const std::string& path, std::string* error) {
    sockaddr_un addr{};
    socklen_t len = 0;
    if (!make_address(path, &addr, &len)) {
        *error = too_long_message + path;
        return -1;
    }
    struct stat st {};
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *error = path + not_socket_message;
            return -1;
        }
        if (someone_listens(addr, len)) {
            *error = path + in_use_message;
            return -1;
        }
        (void)unlink(path.c_str());
    }
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = failed("cannot create socket for", path);
        return -1;
    }
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 || listen(fd, listen_backlog) != 0) {
        *error = failed("cannot listen on", path);
        close(fd);
        return -1;
    }
    if (stat(path.c_str(), &st) == 0) {
        own_inode = st.st_ino;
        own_device = st.st_dev;
    }
    return fd;
}

void larkd_unlink_own_socket(const std::string& path) {
    struct stat st {};
    if (stat(path.c_str(), &st) == 0 && st.st_ino == own_inode && st.st_dev == own_device) (void)unlink(path.c_str());
}
