// Turning a request path into a file that lies inside a served root.
#pragma once

#include <sys/stat.h>

#include <string>
#include <string_view>

namespace files {

enum class path_status {
    ok,
    malformed,  // not a path, or a broken %-escape
    refused,    // a "." or ".." segment, an encoded '/' or NUL
};

// Decodes the %-escapes of a raw URI path into out.  Dot segments are
// refused whether written plainly or escaped, and so are escaped slashes and
// NULs, so the decoded path names exactly the segments the client sent.
path_status decode_path(std::string_view raw, std::string& out);

// The real (symlink-free) path of a served root, without a trailing '/'
// ("/" stays "/").  Empty when the root cannot be resolved.
std::string resolve_root(const std::string& document_root);

// True when real_path is real_root or lies below it.
bool is_within(std::string_view real_root, std::string_view real_path);

// A file opened for serving, with the facts read from the open descriptor.
class open_file {
public:
    open_file() = default;
    open_file(const open_file&) = delete;
    open_file& operator=(const open_file&) = delete;
    open_file(open_file&& o) noexcept;
    open_file& operator=(open_file&& o) noexcept;
    ~open_file();

    int fd() const { return fd_; }
    int release();  // hands the descriptor over; the object no longer closes it
    const struct stat& info() const { return st_; }
    const std::string& real_path() const { return real_; }

    friend int open_within(std::string_view real_root, const std::string& path, open_file& out);

private:
    int take(int fd, std::string real);  // adopts fd, reading its facts; 0 or -errno

    int fd_ = -1;
    struct stat st_ {};
    std::string real_;
};

// Opens path when its real location is inside real_root.  The descriptor is
// opened on the resolved path without following a final symlink, and its
// facts come from fstat of that descriptor, so what is served is the file
// that was checked.  Returns 0, -ENOENT (missing), -EACCES (unreadable, or
// outside the root) or another negative errno value.
int open_within(std::string_view real_root, const std::string& path, open_file& out);

}  // namespace files
