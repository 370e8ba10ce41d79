#include "webkvd/cgi/cgi.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <map>
#include <memory>
#include <vector>

#include "webkvd/cgi/cgi_env.hpp"
#include "webkvd/cgi/cgi_head.hpp"
#include "webkvd/cgi/process.hpp"
#include "webkvd/files/reply.hpp"

namespace cgi {

namespace {

using clock = std::chrono::steady_clock;

constexpr unsigned default_time_limit_s = 30;
constexpr const char* time_limit_env = "WEBKVD_CGI_TIMEOUT";
constexpr unsigned ms_per_s = 1000;
constexpr unsigned max_time_limit_s = 24 * 3600;
// A header block longer than this is garbage.
constexpr std::size_t max_program_head_bytes = 64 * 1024;
// Output up to this size is collected and sent with its Content-Length, so
// that a program failing part-way still gets a clean 500; beyond it the body
// is streamed.
constexpr std::size_t collected_reply_bytes = 1024 * 1024;
constexpr std::size_t read_piece_bytes = 64 * 1024;
constexpr int reads_per_wakeup = 4;
// Programs running at once; a device has little memory to spare.
constexpr std::size_t max_running_programs = 16;
// While a slow client's queue is full the pipe is looked at again after this.
constexpr unsigned slow_client_retry_ms = 10;

constexpr std::string_view content_length_field = "Content-Length: ";
constexpr std::string_view chunked_field = "Transfer-Encoding: chunked\r\n";
constexpr std::string_view connection_close = "Connection: close\r\n\r\n";
constexpr std::string_view crlf = "\r\n";
constexpr std::string_view http_1_1 = "HTTP/1.1";

enum class framing { collected, length, chunked, until_close };

struct job {
    int id = 0;
    net::connection* conn = nullptr;
    child proc;
    clock::time_point deadline;
    bool head_only = false;
    bool client_takes_chunks = false;

    std::string body;  // request body still to be written to the program
    std::size_t body_off = 0;

    std::string out;  // output not yet sent: the head so far, then a collected body
    bool head_parsed = false;
    program_head head;
    framing mode = framing::collected;
    std::uint64_t body_seen = 0;  // body bytes read from the program
    bool reply_started = false;   // a head has gone to the client

    int out_watch = 0, in_watch = 0, limit_timer = 0, retry_timer = 0;
};

struct leftover {
    pid_t pid;
    clock::time_point kill_at;
    bool killed;
};

std::map<int, std::unique_ptr<job>>& jobs() {
    static std::map<int, std::unique_ptr<job>> all;
    return all;
}

std::vector<leftover>& leftovers() {
    static std::vector<leftover> all;
    return all;
}

int next_job_id = 1;

unsigned time_limit_s() {
    const char* v = std::getenv(time_limit_env);
    if (!v || !*v) return default_time_limit_s;
    char* end = nullptr;
    unsigned long n = std::strtoul(v, &end, 10);
    if (*end != '\0' || n == 0 || n > max_time_limit_s) return default_time_limit_s;
    return static_cast<unsigned>(n);
}

job* find(int id) {
    auto it = jobs().find(id);
    return it == jobs().end() ? nullptr : it->second.get();
}

// Collects children that have exited; kills those past their time.
void reap_leftovers() {
    auto& all = leftovers();
    auto now = clock::now();
    for (std::size_t i = 0; i < all.size();) {
        pid_t r = ::waitpid(all[i].pid, nullptr, WNOHANG);
        if (r == all[i].pid || (r < 0 && errno == ECHILD)) {
            all[i] = all.back();
            all.pop_back();
            continue;
        }
        if (!all[i].killed && now >= all[i].kill_at) {
            kill_program(all[i].pid);
            all[i].killed = true;
        }
        ++i;
    }
}

// A program usually exits right after closing its output: look again
// shortly rather than leave it a zombie until the next tick.
constexpr unsigned quick_reap_ms = 20;
constexpr int quick_reap_tries = 10;
int quick_reap_timer = 0;

void reap_soon(int tries = quick_reap_tries) {
    if (quick_reap_timer || leftovers().empty() || tries <= 0) return;
    quick_reap_timer = net::loop::timer(quick_reap_ms, [tries] {
        quick_reap_timer = 0;
        reap_leftovers();
        reap_soon(tries - 1);
    });
}

void ensure_reaper() {
    static bool registered = false;
    if (registered) return;
    registered = true;
    net::loop::on_tick(reap_leftovers);
}

void close_stdin(job& j) {
    if (j.in_watch) net::loop::unwatch(j.in_watch);
    j.in_watch = 0;
    if (j.proc.stdin_fd >= 0) ::close(j.proc.stdin_fd);
    j.proc.stdin_fd = -1;
    j.body.clear();
}

// Frees everything of the job; the program is killed when kill is set,
// and reaped now or on a later tick.
void finish(int id, bool kill) {
    auto it = jobs().find(id);
    if (it == jobs().end()) return;
    job& j = *it->second;
    close_stdin(j);
    if (j.out_watch) net::loop::unwatch(j.out_watch);
    if (j.limit_timer) net::loop::cancel_timer(j.limit_timer);
    if (j.retry_timer) net::loop::cancel_timer(j.retry_timer);
    if (j.proc.stdout_fd >= 0) ::close(j.proc.stdout_fd);
    if (kill) kill_program(j.proc.pid);
    leftovers().push_back({j.proc.pid, kill ? clock::now() : j.deadline, kill});
    jobs().erase(it);
    reap_leftovers();
    reap_soon();
}

// The program failed: a 500 when nothing has been sent yet, else the
// connection is cut so the client sees the reply is incomplete.
void fail(int id) {
    job* j = find(id);
    if (!j) return;
    if (j->conn) {
        if (!j->reply_started) {
            files::send_error(*j->conn, files::status_500, j->head_only);
            j->conn->close_after_send();
        } else {
            j->conn->close_now();
        }
    }
    finish(id, true);
}

std::string reply_head(const job& j, framing mode, std::uint64_t length) {
    std::string h = j.head.status_line;
    h += j.head.fields;
    if (mode == framing::collected || mode == framing::length) {
        h += content_length_field;
        h += std::to_string(length);
        h += crlf;
    } else if (mode == framing::chunked) {
        h += chunked_field;
    }
    h += connection_close;
    return h;
}

// Passes body bytes on once the reply streams; offset counts the body
// bytes before them.  A program's own Content-Length caps what is sent.
void send_body(job& j, std::string_view bytes, std::uint64_t offset) {
    if (j.head_only || bytes.empty()) return;
    if (j.mode == framing::length) {
        auto limit = static_cast<std::uint64_t>(j.head.content_length);
        if (offset >= limit) return;
        if (offset + bytes.size() > limit) bytes = bytes.substr(0, static_cast<std::size_t>(limit - offset));
    }
    if (j.mode == framing::chunked)
        j.conn->send_chunk(bytes);
    else
        j.conn->send(bytes);
}

// Switches from collecting to streaming: the head goes out with what was
// collected.
void start_streaming(job& j) {
    if (j.head.content_length >= 0)
        j.mode = framing::length;
    else if (j.client_takes_chunks)
        j.mode = framing::chunked;
    else
        j.mode = framing::until_close;
    j.conn->send(reply_head(j, j.mode, static_cast<std::uint64_t>(std::max<std::int64_t>(j.head.content_length, 0))));
    j.reply_started = true;
    std::string collected = std::move(j.out);
    j.out.clear();
    send_body(j, collected, 0);
}

void on_output_end(int id) {
    job* j = find(id);
    if (!j) return;
    if (!j->head_parsed) {
        fail(id);
        return;
    }
    if (j->mode == framing::collected) {
        if (j->head.content_length >= 0) {
            auto want = static_cast<std::uint64_t>(j->head.content_length);
            if (j->body_seen < want) {  // the program promised more than it wrote
                fail(id);
                return;
            }
            if (!j->head_only) j->out.resize(static_cast<std::size_t>(want));
            j->body_seen = want;
        }
        std::string reply = reply_head(*j, framing::collected, j->body_seen);
        if (!j->head_only) reply += j->out;
        j->conn->send(reply);
        j->conn->close_after_send();
    } else if (j->mode == framing::length && j->body_seen < static_cast<std::uint64_t>(j->head.content_length)) {
        j->conn->close_now();
    } else {
        if (j->mode == framing::chunked && !j->head_only) j->conn->send_last_chunk();
        j->conn->close_after_send();
    }
    finish(id, false);
}

// Takes new output; false when the job failed.
bool take_output(job& j, std::string_view bytes) {
    if (!j.head_parsed) {
        j.out.append(bytes);
        std::size_t head_len = 0, body_start = 0;
        if (!find_head_end(j.out, head_len, body_start)) return j.out.size() <= max_program_head_bytes;
        if (head_len > max_program_head_bytes || !parse_program_head(std::string_view(j.out).substr(0, head_len), j.head))
            return false;
        j.head_parsed = true;
        std::string rest = j.out.substr(body_start);
        j.out.clear();
        bytes = rest;
        j.body_seen += rest.size();
        if (!j.head_only) j.out = std::move(rest);
    } else {
        std::uint64_t offset = j.body_seen;
        j.body_seen += bytes.size();
        if (j.mode == framing::collected) {
            if (!j.head_only) j.out.append(bytes);
        } else {
            send_body(j, bytes, offset);
        }
    }
    if (j.mode == framing::collected && !j.head_only && j.out.size() > collected_reply_bytes) start_streaming(j);
    return true;
}

void watch_output(int id);

void on_readable(int id) {
    job* j = find(id);
    if (!j) return;
    j->out_watch = 0;
    static std::array<char, read_piece_bytes> piece;
    for (int i = 0; i < reads_per_wakeup; ++i) {
        ssize_t n = ::read(j->proc.stdout_fd, piece.data(), piece.size());
        if (n == 0) {
            on_output_end(id);
            return;
        }
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) break;
            fail(id);
            return;
        }
        if (!take_output(*j, std::string_view(piece.data(), static_cast<std::size_t>(n)))) {
            fail(id);
            return;
        }
    }
    watch_output(id);
}

// Waits for more output, unless the client is too slow to take it now.
void watch_output(int id) {
    job* j = find(id);
    if (!j) return;
    if (j->mode != framing::collected && j->conn->queued() > net::high_mark) {
        j->retry_timer = net::loop::timer(slow_client_retry_ms, [id] {
            if (job* k = find(id)) {
                k->retry_timer = 0;
                if (k->conn->queued() < net::drain_mark)
                    watch_output(id);
                else
                    k->retry_timer = net::loop::timer(slow_client_retry_ms, [id] { watch_output(id); });
            }
        });
        return;
    }
    j->out_watch = net::loop::watch(j->proc.stdout_fd, false, [id] { on_readable(id); });
}

void on_writable(int id) {
    job* j = find(id);
    if (!j) return;
    j->in_watch = 0;
    while (j->body_off < j->body.size()) {
        ssize_t n = ::write(j->proc.stdin_fd, j->body.data() + j->body_off, j->body.size() - j->body_off);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            j->in_watch = net::loop::watch(j->proc.stdin_fd, true, [id] { on_writable(id); });
            return;
        }
        if (n <= 0) break;  // the program stopped reading: it gets no more
        j->body_off += static_cast<std::size_t>(n);
    }
    close_stdin(*j);
}

void ignore_sigpipe() {
    static bool done = false;
    if (done) return;
    done = true;
    std::signal(SIGPIPE, SIG_IGN);  // a program that stops reading must not end the server
}

bool has_suffix(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() && net::iequals(name.substr(name.size() - suffix.size()), suffix);
}

}  // namespace

bool is_program_name(std::string_view name) { return has_suffix(name, ".cgi") || has_suffix(name, ".php"); }

void run(net::connection& c, const net::http_message& m, const script& s, bool is_https) {
    bool head_only = files::is_head_request(m);
    if (jobs().size() >= max_running_programs) {
        files::send_error(c, files::status_503, head_only);
        c.close_after_send();
        return;
    }
    ignore_sigpipe();
    ensure_reaper();
    child proc;
    if (spawn_program(s.path, make_environment(c, m, s, is_https), proc) != 0) {
        files::send_error(c, files::status_500, head_only);
        c.close_after_send();
        return;
    }
    auto j = std::make_unique<job>();
    int id = next_job_id++;
    unsigned limit = time_limit_s();
    j->id = id;
    j->conn = &c;
    j->proc = proc;
    j->deadline = clock::now() + std::chrono::seconds(limit);
    j->head_only = head_only;
    j->client_takes_chunks = m.proto == http_1_1;
    j->body.assign(m.body);
    jobs()[id] = std::move(j);

    c.hold(true);  // no further request is read while the program answers this one
    find(id)->limit_timer = net::loop::timer(limit * ms_per_s, [id] {
        if (job* k = find(id)) {
            k->limit_timer = 0;
            fail(id);
        }
    });
    on_writable(id);
    watch_output(id);
}

std::size_t running_programs() { return jobs().size() + leftovers().size(); }

}  // namespace cgi

bool cgi_owns_reply(const net::connection& c) {
    for (const auto& [id, j] : cgi::jobs())
        if (j->conn == &c) return true;
    return false;
}

void cgi_connection_closed(net::connection& c) {
    std::vector<int> ids;
    for (const auto& [id, j] : cgi::jobs())
        if (j->conn == &c) ids.push_back(id);
    for (int id : ids) {
        cgi::jobs()[id]->conn = nullptr;
        cgi::finish(id, true);
    }
}
