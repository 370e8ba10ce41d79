#include "larkd/server.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "larkd/persist.hpp"
#include "store/frame.hpp"

namespace {

constexpr std::size_t read_chunk = 65536;
// Stop reading from a client that does not read its replies.
constexpr std::size_t output_high_mark = 8u << 20;
// Bytes taken from one client per round, so one busy client cannot starve the rest.
constexpr std::size_t read_per_round = 1u << 20;
constexpr char save_failed_message[] = "larkd: %s\n";
constexpr char poll_failed_message[] = "larkd: poll";

volatile sig_atomic_t stop_requested = 0;

void on_stop(int) { stop_requested = 1; }

struct client {
    int fd = -1;
    std::string in;
    std::size_t in_start = 0;    // bytes of in already handled
    std::string out;
    std::size_t out_start = 0;   // bytes of out already written
    bool closing = false;        // close once the output is written
    bool mute = false;           // the peer reads no more: replies are dropped
    bool dead = false;           // close now

    ~client() {
        if (fd >= 0) close(fd);
    }
};

// Handles every complete frame in the client's input. A frame that is not
// one leaves the connection out of step, so the client is closed.
void handle_frames(client& cl, larkd_keys& keys, bool* changed) {
    for (;;) {
        std::size_t avail = cl.in.size() - cl.in_start;
        if (avail < static_cast<std::size_t>(store_header_size)) break;
        const char* head = cl.in.data() + cl.in_start;
        if (std::memcmp(head, store_magic, store_magic_size) != 0) {
            cl.dead = true;
            return;
        }
        char digits[store_length_digits + 1];
        std::memcpy(digits, head + store_length_offset, store_length_digits);
        digits[store_length_digits] = '\0';
        int len = 0;
        if (store_parse_int(&len, digits) != 0 || len < 0) {
            cl.dead = true;
            return;
        }
        std::size_t total = store_header_size + static_cast<std::size_t>(len);
        if (avail < total) break;
        larkd_handle_request(keys, std::string_view(head + store_header_size, static_cast<std::size_t>(len)), cl.out, changed);
        cl.in_start += total;
    }
    cl.in.erase(0, cl.in_start);
    cl.in_start = 0;
}

void read_client(client& cl) {
    char chunk[read_chunk];
    std::size_t taken = 0;
    while (taken < read_per_round) {
        ssize_t n = recv(cl.fd, chunk, sizeof chunk, 0);
        if (n > 0) {
            cl.in.append(chunk, static_cast<std::size_t>(n));
            taken += static_cast<std::size_t>(n);
            continue;
        }
        if (n == 0) {
            cl.closing = true;
        } else if (errno == EINTR) {
            continue;
        } else if (errno != EAGAIN && errno != EWOULDBLOCK) {
            cl.dead = true;
        }
        return;
    }
}

void write_client(client& cl) {
    while (cl.out_start < cl.out.size()) {
        ssize_t n = send(cl.fd, cl.out.data() + cl.out_start, cl.out.size() - cl.out_start, MSG_NOSIGNAL);
        if (n > 0) {
            cl.out_start += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            // A client that stopped reading may still have requests on the
            // way (rook sends and closes without reading): keep serving them.
            cl.mute = true;
            cl.out_start = cl.out.size();
            break;
        } else {
            break;
        }
    }
    if (cl.out_start == cl.out.size()) {
        cl.out.clear();
        cl.out_start = 0;
    }
}

void accept_clients(int listen_fd, std::vector<std::unique_ptr<client>>& clients) {
    for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        auto cl = std::make_unique<client>();
        cl->fd = fd;
        clients.push_back(std::move(cl));
    }
}

bool save(const std::string& data_file, const larkd_keys& keys) {
    std::string error;
    if (larkd_save(data_file, keys, &error)) return true;
    std::fprintf(stderr, save_failed_message, error.c_str());
    return false;
}

}  // namespace

int larkd_serve(int listen_fd, larkd_keys& keys, const std::string& data_file) {
    // Stop signals are blocked except inside ppoll, so none is missed
    // between the check and the wait.
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGTERM);
    sigaddset(&stop_signals, SIGINT);
    sigset_t wait_mask;
    sigprocmask(SIG_BLOCK, &stop_signals, &wait_mask);
    sigdelset(&wait_mask, SIGTERM);
    sigdelset(&wait_mask, SIGINT);
    struct sigaction sa {};
    sa.sa_handler = on_stop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::vector<std::unique_ptr<client>> clients;
    std::vector<pollfd> fds;
    bool dirty = false;
    while (stop_requested == 0) {
        fds.assign(1, pollfd{listen_fd, POLLIN, 0});
        for (const auto& cl : clients) {
            short events = 0;
            if (!cl->closing && cl->out.size() - cl->out_start < output_high_mark) events |= POLLIN;
            if (cl->out_start < cl->out.size()) events |= POLLOUT;
            fds.push_back(pollfd{cl->fd, events, 0});
        }
        int rc = ppoll(fds.data(), fds.size(), nullptr, &wait_mask);
        if (rc < 0) {
            if (errno == EINTR) continue;
            std::perror(poll_failed_message);
            break;
        }
        // Only the clients polled this round; new ones come after them.
        std::size_t polled = clients.size();
        if ((fds[0].revents & POLLIN) != 0) accept_clients(listen_fd, clients);
        for (std::size_t i = 0; i < polled; ++i) {
            client& cl = *clients[i];
            if ((fds[i + 1].revents & (POLLIN | POLLHUP | POLLERR)) != 0) read_client(cl);
            if (!cl.dead) handle_frames(cl, keys, &dirty);
            if (cl.mute) {
                cl.out.clear();
                cl.out_start = 0;
            }
        }
        // Changes reach the disk before their replies go out. A failed save
        // is reported and tried again after the next round.
        if (dirty && !data_file.empty() && save(data_file, keys)) dirty = false;
        if (data_file.empty()) dirty = false;
        for (auto& cl : clients)
            if (!cl->dead && cl->out_start < cl->out.size()) write_client(*cl);
        std::erase_if(clients, [](const std::unique_ptr<client>& cl) {
            return cl->dead || (cl->closing && cl->out_start >= cl->out.size());
        });
    }
    if (dirty && !data_file.empty() && !save(data_file, keys)) return 1;
    return 0;
}
