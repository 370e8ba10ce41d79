#include "webkvd/files/path.hpp"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <memory>

namespace files {

namespace {

int hex_value(char ch) {
    if (ch >= '0' && ch <= '9') return ch - '0';
    if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
    if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
    return -1;
}

bool is_dot_segment(std::string_view seg) { return seg == "." || seg == ".."; }

constexpr int open_flags = O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;

// Set once the kernel turns openat2 down (too old, or filtered).
bool openat2_missing = false;

// Opens path only when no component of it is a symbolic link.  Returns the
// descriptor, -ELOOP when a link is in the way, -ENOSYS when the kernel
// cannot say, or another negative errno value.
int open_without_links(const std::string& path) {
    if (openat2_missing) return -ENOSYS;
    struct open_how how {};
    how.flags = static_cast<std::uint64_t>(open_flags);
    how.resolve = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd = ::syscall(SYS_openat2, AT_FDCWD, path.c_str(), &how, sizeof how);
    if (fd >= 0) return static_cast<int>(fd);
    int err = errno;
    if (err == ENOSYS || err == EPERM || err == E2BIG) {
        openat2_missing = true;
        return -ENOSYS;
    }
    return -err;
}

// "/a//b/" -> "/a/b": the path of a link-free file as realpath would give it.
std::string tidy(const std::string& path) {
    std::string out;
    out.reserve(path.size());
    for (char ch : path)
        if (ch != '/' || out.empty() || out.back() != '/') out.push_back(ch);
    if (out.size() > 1 && out.back() == '/') out.pop_back();
    return out;
}

bool has_dot_segment(std::string_view path) {
    std::size_t start = 0;
    while (start <= path.size()) {
        std::size_t end = path.find('/', start);
        if (end == std::string_view::npos) end = path.size();
        if (is_dot_segment(path.substr(start, end - start))) return true;
        start = end + 1;
    }
    return false;
}

}  // namespace

path_status decode_path(std::string_view raw, std::string& out) {
    out.clear();
    if (raw.empty() || raw.front() != '/') return path_status::malformed;
    out.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i) {
        char ch = raw[i];
        if (ch == '%') {
            if (i + 2 >= raw.size()) return path_status::malformed;
            int hi = hex_value(raw[i + 1]);
            int lo = hex_value(raw[i + 2]);
            if (hi < 0 || lo < 0) return path_status::malformed;
            ch = static_cast<char>(hi * 16 + lo);
            if (ch == '/' || ch == '\0') return path_status::refused;
            i += 2;
        } else if (ch == '\0') {
            return path_status::refused;
        }
        out.push_back(ch);
    }
    std::size_t start = 1;
    while (start <= out.size()) {
        std::size_t end = out.find('/', start);
        if (end == std::string::npos) end = out.size();
        if (is_dot_segment(std::string_view(out).substr(start, end - start))) return path_status::refused;
        start = end + 1;
    }
    return path_status::ok;
}

std::string resolve_root(const std::string& document_root) {
    if (document_root.empty()) return {};
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(document_root.c_str(), nullptr), &std::free);
    if (!real) return {};
    return real.get();
}

bool is_within(std::string_view real_root, std::string_view real_path) {
    if (real_root.empty()) return false;
    if (real_root == "/") return !real_path.empty() && real_path.front() == '/';
    if (real_path.size() < real_root.size() || real_path.substr(0, real_root.size()) != real_root) return false;
    return real_path.size() == real_root.size() || real_path[real_root.size()] == '/';
}

open_file::open_file(open_file&& o) noexcept : fd_(o.fd_), st_(o.st_), real_(std::move(o.real_)) { o.fd_ = -1; }

open_file& open_file::operator=(open_file&& o) noexcept {
    if (this != &o) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = o.fd_;
        st_ = o.st_;
        real_ = std::move(o.real_);
        o.fd_ = -1;
    }
    return *this;
}

open_file::~open_file() {
    if (fd_ >= 0) ::close(fd_);
}

int open_file::release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
}

int open_within(std::string_view real_root, const std::string& path, open_file& out) {
    out = open_file();
    // Usual case: no links and no dot segments on the way, so the path as
    // written is where the file really is, and one call opens it.
    if (!has_dot_segment(path)) {
        std::string real = tidy(path);
        if (is_within(real_root, real)) {
            int fd = open_without_links(real);
            if (fd >= 0) return out.take(fd, std::move(real));
            if (fd != -ELOOP && fd != -ENOSYS) return fd == -ENOTDIR ? -ENOTDIR : (fd == -EACCES ? -EACCES : -ENOENT);
        }
    }
    std::unique_ptr<char, decltype(&std::free)> real(::realpath(path.c_str(), nullptr), &std::free);
    if (!real) return errno == EACCES ? -EACCES : (errno == ENOTDIR ? -ENOTDIR : -ENOENT);
    if (!is_within(real_root, real.get())) return -EACCES;
    int fd = ::open(real.get(), open_flags);
    if (fd < 0) return errno == ELOOP ? -EACCES : -errno;
    return out.take(fd, real.get());
}

int open_file::take(int fd, std::string real) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        int err = errno;
        ::close(fd);
        return -err;
    }
    fd_ = fd;
    st_ = st;
    real_ = std::move(real);
    return 0;
}

}  // namespace files
