// Store frame reader and reply splitting: the input is what the store daemon
// sends.  It is written into one end of a socket pair and read back as frames
// (in the profile the first byte picks) until the reader fails, or consumed
// by a prefix listing; every payload is split the ways the clients split
// replies.
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "store/conn.hpp"
#include "store/conn_blocking.hpp"
#include "store/conn_server.hpp"
#include "store/frame.hpp"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Larger inputs would not fit the socket buffer before the reader starts.
constexpr std::size_t max_input = 64 * 1024;

void split_payload(const char* payload, int len) {
    // Each split gets its own exact-size copy (plus the terminator the
    // reader guarantees), so a read past the payload is caught.
    std::string copy(payload, static_cast<std::size_t>(len));
    const char* value = nullptr;
    int vlen = -1;
    if (store_split_value(copy.c_str(), len, &value, &vlen))
        check(value >= copy.c_str() && vlen >= 0 && value + vlen == copy.c_str() + len);
    (void)store_is_end(copy.c_str());

    std::string entry(payload, static_cast<std::size_t>(len));
    char* key = nullptr;
    char* val = nullptr;
    if (store_split_entry(entry.data(), len, &key, &val))
        check(key >= entry.data() && val > key && val <= entry.data() + len);

    std::string assignment(payload, static_cast<std::size_t>(len));
    (void)store_entry_as_assignment(assignment.data());

    int n = 0;
    (void)store_parse_int(&n, copy.c_str());
}

// Entries must be terminated strings inside the connection's buffer.
int list_entry(store_conn* c, void* ctx, const char*, const char* key, const char* value) {
    check(key >= c->buffer && key < c->buffer + c->capacity + 1);
    check(value >= c->buffer && value <= c->buffer + c->received);
    check(std::strlen(key) <= static_cast<std::size_t>(c->received));
    (void)std::strlen(value);
    auto* entries = static_cast<int*>(ctx);
    // The third entry stops the listing, as a callback may.
    return ++*entries == 3 ? 1 : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1 || size > max_input) return 0;
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
    int sndbuf = static_cast<int>(2 * max_input);
    (void)setsockopt(fds[1], SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf);
    const std::uint8_t* bytes = data + 1;
    std::size_t left = size - 1;
    while (left > 0) {
        ssize_t n = write(fds[1], bytes, left);
        if (n <= 0) break;
        bytes += n;
        left -= static_cast<std::size_t>(n);
    }
    // The daemon sends nothing more but still takes requests.
    shutdown(fds[1], SHUT_WR);

    store_conn c{};
    c.fd = fds[0];
    c.profile = (data[0] & 1) != 0 ? store_profile_server : store_profile_blocking;
    if ((data[0] & 2) != 0) {
        c.profile = store_profile_server;
        int entries = 0;
        int rc = store_list(&c, "pre", &entries, list_entry);
        check(rc == store_ok || rc == store_err_io || rc == store_err_recv || rc == store_err_magic ||
              rc == store_err_length || rc == store_err_timeout);
        store_close(&c);
        close(fds[1]);
        return 0;
    }
    for (;;) {
        int rc = store_read_frame(&c);
        if (rc != store_ok) {
            check(rc == store_err_io || rc == store_err_recv || rc == store_err_magic || rc == store_err_length ||
                  rc == store_err_timeout);
            break;
        }
        check(c.buffer != nullptr && c.received >= 0 && c.received <= c.capacity);
        check(c.buffer[c.received] == '\0');
        split_payload(c.buffer, c.received);
    }
    std::free(c.buffer);
    close(fds[0]);
    close(fds[1]);
    return 0;
}
