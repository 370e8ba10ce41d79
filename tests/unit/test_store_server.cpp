// The server profile against a scripted fake daemon on a temporary socket:
// the bytes store_set and store_list send, what they deliver, and their
// result codes when the daemon is absent, silent, closes or sends bad frames.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "store/conn_server.hpp"

namespace {

constexpr int poll_step_ms = 20;
const std::string close_now = "\x01close";   // reply action: close the connection
const std::string silent;                    // reply action: answer nothing

std::string frame(const std::string& payload) {
    char head[17];
    std::snprintf(head, sizeof head, "magicv1 %07d ", static_cast<int>(payload.size()));
    return head + payload;
}

// One connection at a time; every frame is recorded and answered by reply().
class fake_daemon {
public:
    using responder = std::function<std::vector<std::string>(const std::string& payload)>;

    explicit fake_daemon(responder r) : reply_(std::move(r)) {
        char tmpl[] = "/tmp/storeXXXXXX";
        dir_ = mkdtemp(tmpl);
        path_ = dir_ + "/s";
        listen_fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::strncpy(addr.sun_path, path_.c_str(), sizeof addr.sun_path - 1);
        EXPECT_EQ(bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
        EXPECT_EQ(listen(listen_fd_, 8), 0);
        setenv("LARKD_SOCKET", path_.c_str(), 1);
        thread_ = std::thread([this] { run(); });
    }
    ~fake_daemon() {
        stop_ = true;
        thread_.join();
        close(listen_fd_);
        unlink(path_.c_str());
        rmdir(dir_.c_str());
        unsetenv("LARKD_SOCKET");
    }
    std::vector<std::string> frames() {
        std::lock_guard<std::mutex> lock(mutex_);
        return frames_;
    }

private:
    bool wait_readable(int fd) {
        while (!stop_) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, poll_step_ms) > 0) return true;
        }
        return false;
    }
    void serve(int fd) {
        std::string in;
        char chunk[65536];
        while (wait_readable(fd)) {
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0) return;
            in.append(chunk, static_cast<std::size_t>(n));
            while (in.size() >= 16) {
                std::size_t total = 16 + std::strtoul(in.substr(8, 7).c_str(), nullptr, 10);
                if (in.size() < total) break;
                {
                    std::lock_guard<std::mutex> lock(mutex_);
                    frames_.push_back(in.substr(0, total));
                }
                for (const std::string& out : reply_(in.substr(16, total - 16))) {
                    if (out == close_now) return;
                    (void)!send(fd, out.data(), out.size(), MSG_NOSIGNAL);
                }
                in.erase(0, total);
            }
        }
    }
    void run() {
        while (wait_readable(listen_fd_)) {
            int fd = accept(listen_fd_, nullptr, nullptr);
            if (fd < 0) continue;
            serve(fd);
            close(fd);
        }
    }

    responder reply_;
    std::string dir_;
    std::string path_;
    int listen_fd_ = -1;
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::vector<std::string> frames_;
    std::thread thread_;
};

struct entry {
    std::string prefix, key, value;
};

struct collected {
    std::vector<entry> entries;
    int stop_after = 0;   // 0: take every entry
};

int collect(store_conn*, void* ctx, const char* prefix, const char* key, const char* value) {
    auto* c = static_cast<collected*>(ctx);
    c->entries.push_back({prefix, key, value});
    return c->stop_after != 0 && static_cast<int>(c->entries.size()) >= c->stop_after ? 1 : 0;
}

std::vector<std::string> ack(const std::string&) { return {frame("ok\n")}; }

TEST(StoreServer, NoDaemon) {
    setenv("LARKD_SOCKET", "/tmp/no-such-dir-for-store-tests/s", 1);
    store_conn c;
    std::memset(&c, 0x5a, sizeof c);   // store_open must not rely on a clean record
    EXPECT_EQ(store_open(&c), store_err_io);
    EXPECT_EQ(c.fd, -1);
    EXPECT_EQ(c.buffer, nullptr);
    EXPECT_EQ(store_set(&c, "set", "k", 1, "v", 1), store_err_io);
    collected got;
    EXPECT_EQ(store_list(&c, "p", &got, collect), store_err_io);
    EXPECT_EQ(store_close(&c), store_ok);
    unsetenv("LARKD_SOCKET");
}

TEST(StoreServer, SetSendsFramesAndReadsAcknowledgements) {
    fake_daemon daemon(ack);
    store_conn c;
    ASSERT_EQ(store_open(&c), store_ok);
    EXPECT_NE(fcntl(c.fd, F_GETFL) & O_NONBLOCK, 0);
    EXPECT_EQ(store_set(&c, "set", "key", 3, "v a l", 5), store_ok);
    EXPECT_EQ(store_set(&c, "set", "a", 1, "", 0), store_ok);
    EXPECT_EQ(store_set(&c, "put", "a", 1, "", 0), store_ok);
    EXPECT_EQ(store_set(&c, "set", "", 0, "v", 1), store_err_io);
    std::string big(1 << 20, 'b');
    EXPECT_EQ(store_set(&c, "set", "big", 3, big.data(), static_cast<int>(big.size())), store_ok);
    store_close(&c);
    std::vector<std::string> want = {
        "magicv1 0000014 set key v a l\n",
        "magicv1 0000009 remove a\n",
        "magicv1 0000007 put a \n",
        frame("set big " + big + "\n"),
    };
    EXPECT_EQ(daemon.frames(), want);
}

TEST(StoreServer, SetSucceedsWhateverTheAcknowledgement) {
    // Silent costs one receive budget; the others end at once.
    std::vector<std::string> replies[] = {{silent}, {"magicv2 0000002 ok"}, {close_now}};
    for (const auto& reply : replies) {
        fake_daemon daemon([&](const std::string&) { return reply; });
        store_conn c;
        ASSERT_EQ(store_open(&c), store_ok);
        EXPECT_EQ(store_set(&c, "set", "k", 1, "v", 1), store_ok);
        store_close(&c);
        EXPECT_EQ(daemon.frames().size(), 1u);
    }
}

TEST(StoreServer, ListDeliversEntries) {
    fake_daemon daemon([](const std::string&) -> std::vector<std::string> {
        return {frame("list a 1\n"), frame("list b two words\n"), frame("list c"), frame("list d \n"),
                frame("list e no-newline"), frame("list __end__\n")};
    });
    store_conn c;
    ASSERT_EQ(store_open(&c), store_ok);
    collected got;
    EXPECT_EQ(store_list(&c, "pre", &got, collect), store_ok);
    ASSERT_EQ(got.entries.size(), 4u);
    EXPECT_EQ(got.entries[0].prefix, "pre");
    EXPECT_EQ(got.entries[0].key + "=" + got.entries[0].value, "a=1");
    EXPECT_EQ(got.entries[1].key + "=" + got.entries[1].value, "b=two words");
    EXPECT_EQ(got.entries[2].key + "=" + got.entries[2].value, "d=");
    EXPECT_EQ(got.entries[3].key + "=" + got.entries[3].value, "e=no-newline");
    // A second listing on the same connection works once the first was read to its end.
    collected again;
    EXPECT_EQ(store_list(&c, "", &again, collect), store_ok);
    EXPECT_EQ(again.entries.size(), 4u);
    store_close(&c);
    EXPECT_EQ(daemon.frames(), (std::vector<std::string>{"magicv1 0000009 list pre\n", "magicv1 0000006 list \n"}));
}

TEST(StoreServer, ListStops) {
    fake_daemon daemon([](const std::string&) -> std::vector<std::string> {
        return {frame("list a 1\n"), frame("list b x__end__\n"), frame("list c 3\n"), frame("list __end__\n")};
    });
    store_conn c;
    ASSERT_EQ(store_open(&c), store_ok);
    collected first_only;
    first_only.stop_after = 1;
    EXPECT_EQ(store_list(&c, "p", &first_only, collect), store_ok);
    EXPECT_EQ(first_only.entries.size(), 1u);
    store_close(&c);
    ASSERT_EQ(store_open(&c), store_ok);
    collected until_marker;
    EXPECT_EQ(store_list(&c, "p", &until_marker, collect), store_ok);
    EXPECT_EQ(until_marker.entries.size(), 1u);   // the entry holding the marker ends the stream
    store_close(&c);
}

TEST(StoreServer, ListFailureCodes) {
    struct row {
        std::vector<std::string> reply;
        int result;
    } rows[] = {
        {{frame("list a 1\n"), "magicv2 0000003 abc"}, store_err_magic},
        {{"magicv1 00x0003 abc"}, store_err_length},
        {{"magicv1 -000003 abc"}, store_err_length},
        {{frame("list a 1\n"), close_now}, store_err_io},
        {{"magicv1 00000", close_now}, store_err_io},
        {{frame("list a 1\n")}, store_err_timeout},   // then silence: one receive budget
    };
    for (const auto& r : rows) {
        fake_daemon daemon([&](const std::string&) { return r.reply; });
        store_conn c;
        ASSERT_EQ(store_open(&c), store_ok);
        collected got;
        EXPECT_EQ(store_list(&c, "p", &got, collect), r.result) << r.reply[0];
        store_close(&c);
    }
}

TEST(StoreServer, WorksWithStandardInputClosed) {
    // Descriptor 0 marks a record that was never opened, so the socket must not get it.
    int saved = dup(0);
    std::size_t frames = 0;
    {
        fake_daemon daemon(ack);
        close(0);
        store_conn c;
        ASSERT_EQ(store_open(&c), store_ok);
        EXPECT_GT(c.fd, 0);
        EXPECT_EQ(store_set(&c, "set", "k", 1, "v", 1), store_ok);
        store_close(&c);
        frames = daemon.frames().size();
    }   // the fake's own descriptors are closed here, before 0 is restored
    dup2(saved, 0);
    close(saved);
    EXPECT_EQ(frames, 1u);
}

TEST(StoreServer, SendGivesUpWhenThePeerNeverReads) {
    int fds[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
    store_conn c{};
    c.fd = fds[0];
    c.profile = store_profile_server;
    fcntl(c.fd, F_SETFL, fcntl(c.fd, F_GETFL) | O_NONBLOCK);
    constexpr int big = 8 << 20;
    store_reserve(&c, big);
    std::memset(c.buffer, 'x', big);
    EXPECT_EQ(store_send_all(&c, big, store_list_send_budget_ms), store_err_io);
    close(fds[1]);
    EXPECT_EQ(store_send_all(&c, 1, store_list_send_budget_ms), store_err_io);   // closed peer, no SIGPIPE
    store_close(&c);
    EXPECT_EQ(c.buffer, nullptr);
}

}  // namespace
