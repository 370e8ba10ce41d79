// The whole request path without sockets: the input is what a client sends
// on one connection.  It goes through the HTTP request parser and is handed
// to http_event_handler as the connection layer would hand it (accept, head,
// body pieces or whole request, close), on a recording fake connection.  A
// small store daemon runs on a thread; no backend route exists, so proxied
// requests are refused.  The web root and the upload directory are private
// temporary directories; the scripts directory is empty.
#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>

#include "store/conn.hpp"
#include "tests/unit/support/fake_connection.hpp"
#include "webkvd/main/config.hpp"
#include "webkvd/net/http_parser.hpp"
#include "webkvd/router/router.hpp"

namespace {

namespace http = boost::beast::http;

constexpr int store_header = 16;
constexpr int store_len_digits = 7;
constexpr int store_backlog = 16;
constexpr int store_poll_ms = 1000;
constexpr std::size_t max_piece = 61;  // largest piece of a cut delivery

// ---- fake store ---------------------------------------------------------------

bool read_all(int fd, char* buf, std::size_t n) {
    while (n > 0) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, store_poll_ms) <= 0) return false;
        ssize_t got = read(fd, buf, n);
        if (got <= 0) return false;
        buf += got;
        n -= static_cast<std::size_t>(got);
    }
    return true;
}

void write_frame(int fd, const std::string& payload) {
    char head[store_header + 1];
    std::snprintf(head, sizeof head, "magicv1 %0*zu ", store_len_digits, payload.size());
    std::string out = std::string(head, store_header) + payload;
    (void)!send(fd, out.data(), out.size(), MSG_NOSIGNAL);
}

// Answers list requests with two entries and the end marker, every other
// request with a short acknowledgement.
void serve_store_connection(int fd) {
    std::string payload;
    for (;;) {
        char head[store_header + 1] = {};
        if (!read_all(fd, head, store_header)) break;
        head[store_header - 1] = '\0';
        long len = std::strtol(head + store_header - 1 - store_len_digits, nullptr, 10);
        if (len < 0 || len > 1 << 20) break;
        payload.assign(static_cast<std::size_t>(len), '\0');
        if (len > 0 && !read_all(fd, payload.data(), payload.size())) break;
        if (payload.rfind("list ", 0) == 0) {
            std::string prefix = payload.substr(5, payload.find_first_of(" \n", 5) - 5);
            write_frame(fd, "list " + prefix + "a 1\n");
            write_frame(fd, "list " + prefix + "b \"two\"\n");
            write_frame(fd, "__end__\n");
        } else {
            write_frame(fd, "ok\n");
        }
    }
    close(fd);
}

void run_store(int listener) {
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        serve_store_connection(fd);
    }
}

std::string make_temp_dir(const char* name) {
    std::string templ = std::string("/tmp/") + name + ".XXXXXX";
    char* made = mkdtemp(templ.data());
    if (made == nullptr) std::abort();
    return templ;
}

void write_file(const std::string& path, std::string_view text) {
    std::FILE* f = std::fopen(path.c_str(), "w");
    if (f == nullptr) return;
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
}

std::string upload_path;

void set_up() {
    std::string root = make_temp_dir("fuzz-www");
    write_file(root + "/index.html", "<html>index</html>\n");
    write_file(root + "/a.txt", "plain text\n");
    mkdir((root + "/sub").c_str(), 0755);
    write_file(root + "/sub/b.css", "body{}\n");
    upload_path = make_temp_dir("fuzz-upload");
    std::string scripts = make_temp_dir("fuzz-scripts");
    std::string sock = make_temp_dir("fuzz-store") + "/sock";
    setenv("WEBKVD_UPLOAD_DIR", upload_path.c_str(), 1);
    setenv("WEBKVD_SCRIPTS_DIR", scripts.c_str(), 1);
    setenv("LARKD_SOCKET", sock.c_str(), 1);

    int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, sock.c_str(), sizeof addr.sun_path - 1);
    if (listener < 0 || bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, store_backlog) != 0)
        std::abort();
    std::thread(run_store, listener).detach();

    config_defaults();
    config.log_level = 99;  // no notice lines
    std::strncpy(config.www_root, root.c_str(), sizeof config.www_root - 1);
    config_options_read();
    log_stream = std::fopen("/dev/null", "w");
}

// Uploads of one input must not pile up over a run.
void clear_uploads() {
    DIR* d = opendir(upload_path.c_str());
    if (d == nullptr) return;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') unlinkat(dirfd(d), e->d_name, 0);
    closedir(d);
}

// ---- the connection layer's part ----------------------------------------------------

void deliver(fake_connection& c, int ev, void* data, int is_https) {
    if (c.closing()) return;  // after a close mode, only the close event
    http_event_handler(c, ev, data, is_https);
}

struct body_pieces final : net::body_sink {
    fake_connection* conn = nullptr;
    int is_https = 0;
    std::string body;
    bool over_limit = false;

    void on_body_piece(std::string_view piece) override {
        if (piece.empty()) return;
        if (conn->streamed) {
            deliver(*conn, net::EV_HTTP_BODY, &piece, is_https);
            return;
        }
        if (body.size() + piece.size() > net::max_local_body_bytes) {
            over_limit = true;
            return;
        }
        body.append(piece);
    }
};

// Bytes as the socket delivers them: all at once, or in pieces whose sizes
// follow from the input, so that heads and chunks are cut anywhere.
struct socket_feed {
    std::string_view rest;
    std::uint32_t seed = 0;
    bool pieces = false;
    std::string buffered;  // received, not yet consumed by the parser

    bool more() {
        if (rest.empty()) return false;
        std::size_t n = rest.size();
        if (pieces) {
            seed = seed * 1103515245u + 12345u;
            n = std::min(n, std::size_t{1} + (seed >> 16) % max_piece);
        }
        buffered.append(rest.substr(0, n));
        rest.remove_prefix(n);
        return true;
    }
};

// One message from the feed; false when the connection stops reading
// (closing, held, paused, bad or unfinished input).
bool one_message(fake_connection& c, socket_feed& feed, int is_https) {
    body_pieces sink;
    sink.conn = &c;
    sink.is_https = is_https;
    net::http_parser<true> parser(sink);
    net::http_message msg;
    bool head_seen = false;
    c.streamed = false;
    for (;;) {
        if (feed.buffered.empty() && !feed.more()) return false;
        boost::beast::error_code ec;
        std::size_t used = parser.put(boost::asio::buffer(feed.buffered.data(), feed.buffered.size()), ec);
        feed.buffered.erase(0, used);
        if (ec == http::error::need_more) {
            if (!feed.more()) return false;  // the client stopped sending
            continue;
        }
        if (ec) return false;  // the layer answers 4xx and closes
        if (!head_seen && parser.is_header_done()) {
            head_seen = true;
            parser.fill(msg);
            deliver(c, net::EV_HTTP_HEAD, &msg, is_https);
            if (c.closing()) return false;
            if (!c.streamed && msg.content_length > static_cast<std::int64_t>(net::max_local_body_bytes))
                return false;
        }
        if (parser.is_done()) {
            if (c.streamed) {
                deliver(c, net::EV_HTTP_END, &msg, is_https);
            } else {
                msg.body = sink.body;
                deliver(c, net::EV_HTTP_REQUEST, &msg, is_https);
            }
            return !c.closing() && !c.held && !c.paused;
        }
        if (sink.over_limit || c.closing() || c.paused) return false;
        if (used == 0 && !feed.more()) return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    set_up();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    // First byte: bit 0 picks the HTTPS listener, bit 1 delivery in pieces.
    int is_https = data[0] & 1;
    socket_feed feed;
    feed.rest = std::string_view(reinterpret_cast<const char*>(data) + 1, size - 1);
    feed.pieces = (data[0] & 2) != 0;
    feed.seed = static_cast<std::uint32_t>(size);
    fake_connection c;
    c.tls = is_https != 0;
    http_event_handler(c, net::EV_ACCEPT, nullptr, is_https);
    while (one_message(c, feed, is_https)) {
    }
    http_event_handler(c, net::EV_CLOSE, nullptr, is_https);
    clear_uploads();
    return 0;
}
