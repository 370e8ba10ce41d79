#include "larkd/persist.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// First line of a data file; then per key "KEYLEN VALUELEN\n", the key
// bytes, the value bytes and "\n". Lengths make any byte safe in both.
constexpr std::string_view file_magic = "larkd-data 1\n";
constexpr char temp_suffix[] = ".tmp";
constexpr std::size_t read_chunk = 65536;

std::string describe(const char* what, const std::string& path) {
    return std::string(what) + " " + path + ": " + std::strerror(errno);
}

bool read_all(int fd, std::string* data) {
    char chunk[read_chunk];
    for (;;) {
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        data->append(chunk, static_cast<std::size_t>(n));
    }
}

bool write_all(int fd, const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool parse(const std::string& data, larkd_keys* keys) {
    if (data.compare(0, file_magic.size(), file_magic) != 0) return false;
    std::size_t at = file_magic.size();
    while (at < data.size()) {
        std::size_t eol = data.find('\n', at);
        if (eol == std::string::npos) return false;
        unsigned long long klen = 0;
        unsigned long long vlen = 0;
        char tail = 0;
        std::string line = data.substr(at, eol - at);
        if (std::sscanf(line.c_str(), "%llu %llu%c", &klen, &vlen, &tail) != 2) return false;
        at = eol + 1;
        if (klen > data.size() - at || vlen > data.size() - at - klen || data.size() - at - klen - vlen < 1) return false;
        if (data[at + klen + vlen] != '\n') return false;
        keys->insert_or_assign(data.substr(at, klen), data.substr(at + klen, vlen));
        at += klen + vlen + 1;
    }
    return true;
}

std::string directory_of(const std::string& path) {
    auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool larkd_load(const std::string& path, larkd_keys* keys, std::string* error) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) return true;
        *error = describe("cannot open", path);
        return false;
    }
    std::string data;
    bool ok = read_all(fd, &data);
    if (!ok) *error = describe("cannot read", path);
    close(fd);
    if (ok && !parse(data, keys)) {
        *error = "damaged data file " + path;
        ok = false;
    }
    return ok;
}

bool larkd_save(const std::string& path, const larkd_keys& keys, std::string* error) {
    std::string data(file_magic);
    for (const auto& [key, value] : keys) {
        data += std::to_string(key.size()) + " " + std::to_string(value.size()) + "\n";
        data += key;
        data += value;
        data += '\n';
    }
    std::string temp = path + temp_suffix;
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        *error = describe("cannot create", temp);
        return false;
    }
    if (!write_all(fd, data) || fsync(fd) != 0) {
        *error = describe("cannot write", temp);
        close(fd);
        unlink(temp.c_str());
        return false;
    }
    close(fd);
    if (rename(temp.c_str(), path.c_str()) != 0) {
        *error = describe("cannot rename to", path);
        unlink(temp.c_str());
        return false;
    }
    // The rename itself is durable only once the directory is synced.
    int dir = open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        (void)fsync(dir);
        close(dir);
    }
    return true;
}
