#include "webkvd/net/conn_impl.hpp"

#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <boost/asio/post.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/http/error.hpp>

namespace net::detail {

namespace http = boost::beast::http;

namespace {
// Replies the layer writes itself when a request cannot be parsed.
constexpr const char* reply_400 =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr const char* reply_413 =
    "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr const char* reply_431 =
    "HTTP/1.1 431 Request Header Fields Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
// Ambiguous framing is refused like every other failed exchange.
constexpr const char* reply_framing = "HTTP/1.1 500 Failed\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
constexpr const char* reply_100 = "HTTP/1.1 100 Continue\r\n\r\n";
constexpr std::string_view expect_header = "Expect";
constexpr std::string_view expect_continue = "100-continue";

constexpr std::size_t tls_read_bytes = 16 * 1024;
constexpr std::size_t keep_capacity = 16 * 1024;  // idle input buffers above this are freed
constexpr std::size_t tls_file_piece_bytes = 256 * 1024;
constexpr std::size_t plain_file_piece_bytes = 64 * 1024;
constexpr std::size_t file_turn_bytes = 16 * 1024 * 1024;
constexpr auto linger_time = std::chrono::seconds(1);
constexpr int informational_min = 100;
constexpr int informational_max = 199;
constexpr int switching_protocols = 101;
}  // namespace

namespace {
// Output queued for other connections while handlers run is written once the
// event that caused it has been handled, not a loop pass later.
int dispatch_depth = 0;
std::vector<conn_ptr> dirty;
bool flush_posted = false;
}  // namespace

void flush_dirty() {
    flush_posted = false;
    while (!dirty.empty()) {
        std::vector<conn_ptr> now;
        now.swap(dirty);
        for (auto& c : now) c->run_deferred();
    }
}

void conn_base::run_deferred() {
    in_dirty_ = false;
    service();
}

conn_base::conn_base(bool tls, bool outbound) : tls_(tls), outbound_(outbound), wait_since_(clock::now()) {}

conn_base::~conn_base() {
    for (auto& item : queue_)
        if (item.fd >= 0) ::close(item.fd);
}

void conn_base::set_endpoints(const tcp::socket& s) { socket_ = &s; }

std::string conn_base::peer_address() const {
    error_code ec;
    auto remote = socket_ ? socket_->remote_endpoint(ec) : tcp::endpoint();
    return ec ? std::string() : remote.address().to_string();
}

unsigned conn_base::peer_port() const {
    error_code ec;
    auto remote = socket_ ? socket_->remote_endpoint(ec) : tcp::endpoint();
    return ec ? 0 : remote.port();
}

unsigned conn_base::local_port() const {
    error_code ec;
    auto local = socket_ ? socket_->local_endpoint(ec) : tcp::endpoint();
    return ec ? 0 : local.port();
}

// ---- output ---------------------------------------------------------------

void conn_base::send(std::string_view bytes) {
    if (closed_ || close_now_ || bytes.empty()) return;
    if (outbound_ && !awaiting_reply_ && phase_ == phase::idle) {
        awaiting_reply_ = true;
        wait_since_ = clock::now();
    } else if (outbound_ && phase_ != phase::body) {
        wait_since_ = clock::now();
    }
    if (queued_bytes_ == 0) write_progress_ = clock::now();
    // Small pieces are joined so that one write carries a whole reply head.
    if (!queue_.empty() && queue_.back().fd < 0 && queue_.back().sent == 0 &&
        queue_.back().data.size() + bytes.size() <= plain_read_min && queue_.size() > inflight_)
        queue_.back().data.append(bytes);
    else
        queue_.push_back(out_item{std::string(bytes)});
    queued_bytes_ += bytes.size();
    if (queued_bytes_ > high_mark) above_high_ = true;
    schedule();
}

void conn_base::send_file(int fd, std::uint64_t off, std::uint64_t len) {
    if (closed_ || close_now_ || len == 0) {
        ::close(fd);
        return;
    }
    if (queued_bytes_ == 0) write_progress_ = clock::now();
    out_item item;
    item.fd = fd;
    item.off = off;
    item.left = len;
    queue_.push_back(std::move(item));
    queued_bytes_ += len;
    if (queued_bytes_ > high_mark) above_high_ = true;
    schedule();
}

std::span<const asio::const_buffer> conn_base::gather() {
    std::size_t count = 0;
    for (auto& item : queue_) {
        if (item.fd >= 0 || count == out_bufs_.size()) break;
        out_bufs_[count++] = asio::buffer(item.data.data() + item.sent, item.data.size() - item.sent);
    }
    inflight_ = count;
    return {out_bufs_.data(), count};
}

void conn_base::on_written(const error_code& ec, std::size_t n) {
    writing_ = false;
    inflight_ = 0;
    if (closed_) return;
    if (ec) {
        close_now_ = true;
        service();
        return;
    }
    queued_bytes_ -= n;
    while (n > 0 && !queue_.empty() && queue_.front().fd < 0) {
        auto& front = queue_.front();
        std::size_t rest = front.data.size() - front.sent;
        if (n >= rest) {
            n -= rest;
            queue_.pop_front();
        } else {
            front.sent += n;
            n = 0;
        }
    }
    write_progress_ = clock::now();
    if (above_high_ && queued_bytes_ < drain_mark) {
        above_high_ = false;
        deliver(EV_DRAIN, nullptr);
    }
    service();
    flush_dirty();
}

void conn_base::on_file_written(const error_code& ec, std::size_t n) {
    writing_ = false;
    inflight_ = 0;
    if (closed_) return;
    if (ec || queue_.empty()) {
        close_now_ = true;
        service();
        return;
    }
    auto& front = queue_.front();
    front.off += n;
    front.left -= n;
    queued_bytes_ -= n;
    if (front.left == 0) {
        ::close(front.fd);
        queue_.pop_front();
        std::string().swap(file_piece_);  // an idle connection keeps no file buffer
    }
    write_progress_ = clock::now();
    if (above_high_ && queued_bytes_ < drain_mark) {
        above_high_ = false;
        deliver(EV_DRAIN, nullptr);
    }
    service();
    flush_dirty();
}

// ---- close modes ------------------------------------------------------------

void conn_base::close_after_send() {
    if (closed_) return;
    send_close_ = true;
    events_stopped_ = true;
    schedule();
}

void conn_base::close_now() {
    if (closed_) return;
    close_now_ = true;
    events_stopped_ = true;
    schedule();
}

void conn_base::begin_graceful_close() {
    if (peer_eof_ || (!tls_ && nothing_unread())) {  // nothing to linger for
        finish_close();
        return;
    }
    shutdown_started_ = true;
    discarding_ = true;
    inbuf_.consume(inbuf_.size());
    linger_.emplace(io());
    linger_->expires_after(linger_time);
    linger_->async_wait([self = shared_from_this()](const error_code& ec) {
        if (!ec) self->finish_close();
    });
    do_shutdown();
}

void conn_base::finish_close() {
    if (closed_) return;
    closed_ = true;
    events_stopped_ = true;
    if (linger_) linger_->cancel();
    close_socket();
    for (auto& item : queue_)
        if (item.fd >= 0) ::close(item.fd);
    queue_.clear();
    queued_bytes_ = 0;
    auto self = shared_from_this();  // the registry may hold the last reference
    if (handler) handler(*this, EV_CLOSE, nullptr);
    handler = nullptr;
    user_data = nullptr;
    if (registered) {
        registered = false;
        connections().erase(reg_it);
    }
}

// ---- input control ----------------------------------------------------------

void conn_base::stream_body() { streaming_ = true; }

void conn_base::pause_reading(bool paused) {
    if (read_paused_ == paused) return;
    read_paused_ = paused;
    if (!paused) wait_since_ = clock::now();
    schedule();
}

void conn_base::hold(bool held) {
    if (held_ == held) return;
    held_ = held;
    if (!held) wait_since_ = clock::now();
    schedule();
}

// ---- events -------------------------------------------------------------------

void conn_base::deliver(int ev, void* data) {
    if (closed_ || !handler) return;
    if (events_stopped_ && ev != EV_CLOSE) return;
    // Whoever delivers an event runs service() afterwards, so output
    // queued by this connection's own handler needs no posted call.
    ++dispatching_;
    ++dispatch_depth;
    handler(*this, ev, data);
    --dispatch_depth;
    --dispatching_;
}

void conn_base::connected() {
    connected_ = true;
    wait_since_ = clock::now();
    service();
}

void conn_base::schedule() {
    if (service_posted_ || closed_ || dispatching_ > 0) return;
    if (dispatch_depth > 0) {
        if (in_dirty_) return;
        in_dirty_ = true;
        dirty.push_back(shared_from_this());
        if (!flush_posted) {  // in case no completion flushes before the loop goes on
            flush_posted = true;
            asio::post(io(), [] { flush_dirty(); });
        }
        return;
    }
    service_posted_ = true;
    asio::post(io(), [self = shared_from_this()] {
        self->service_posted_ = false;
        self->service();
    });
}

void conn_base::service() {
    if (closed_) return;
    if (close_now_) {
        finish_close();
        return;
    }
    if (!connected_) return;
    if (!events_stopped_ && !read_paused_ && inbuf_.size() > 0 && (phase_ != phase::idle || !held_))
        process_input();
    if (closed_) return;
    if (close_now_) {
        finish_close();
        return;
    }
    if (!writing_ && !queue_.empty()) do_write();
    if (!writing_ && queue_.empty() && (send_close_ || peer_eof_) && !shutdown_started_) {
        if (peer_eof_ && !send_close_) {
            finish_close();
            return;
        }
        begin_graceful_close();
    }
    if (closed_ || reading_ || peer_eof_) return;
    // A TLS shutdown reads the peer's close_notify itself.
    if (tls_ && shutdown_started_) return;
    // While a closing reply drains nothing is read: what the peer sends meanwhile
    // waits in the kernel and is discarded by the lingering close.
    bool want = discarding_ || (!send_close_ && !read_paused_ && !(held_ && inbuf_.size() >= max_head_bytes));
    if (want) do_read();
}

void conn_base::on_read(const error_code& ec, std::size_t n) {
    reading_ = false;
    if (closed_) return;
    if (ec) {
        on_eof();
        return;
    }
    inbuf_.commit(n);
    if (discarding_ || send_close_) {
        inbuf_.consume(inbuf_.size());
    } else {
        if (phase_ == phase::body) wait_since_ = clock::now();
        if (!events_stopped_ && !read_paused_ && (phase_ != phase::idle || !held_)) process_input();
    }
    service();
    flush_dirty();
}

void conn_base::on_eof() {
    peer_eof_ = true;
    if (discarding_) {
        finish_close();
        return;
    }
    if (reply_parser_ && phase_ == phase::body && !events_stopped_) {
        error_code ec;
        reply_parser_->put_eof(ec);
        if (!ec && reply_parser_->is_done()) finish_message();
    }
    service();
}

bool conn_base::complete_messages_only() const { return phase_ == phase::idle; }

bool conn_base::quiet() const {
    return inbuf_.size() == 0 && (held_ || (phase_ == phase::idle && messages_ > 0));
}

bool conn_base::waiting_for_head() const {
    if (held_ || send_close_ || closed_) return false;
    if (outbound_) {
        if (!connected_) return true;
        return awaiting_reply_ && phase_ != phase::body;
    }
    if (phase_ == phase::body) return !read_paused_;
    return true;
}

void conn_base::tick(clock::time_point now) {
    if (closed_) return;
    deliver(EV_POLL, nullptr);
    service();
    if (closed_ || close_now_) return;
    auto limit = std::chrono::seconds(loop::settings().head_timeout_s);
    if (waiting_for_head() && now - wait_since_ > limit) close_now();
    // A peer that stops reading must not hold its output (and what feeds it) forever.
    if (queued_bytes_ > 0 && now - write_progress_ > limit) {
        abortive_ = true;  // what the kernel still holds for it is dropped too
        close_now();
    }
}

// ---- parsing ---------------------------------------------------------------------

void conn_base::begin_message() {
    phase_ = phase::head;
    streaming_ = false;
    body_over_limit_ = false;
    expect_continue_ = false;
    body_.clear();
    if (!outbound_) {
        wait_since_ = clock::now();
        request_parser_.emplace(static_cast<body_sink&>(*this));
    } else {
        reply_parser_.emplace(static_cast<body_sink&>(*this));
        if (bodyless_reply_) reply_parser_->skip(true);
    }
}

template <class Parser>
bool conn_base::run_parser(Parser& p) {
    error_code ec;
    auto data = inbuf_.data();
    std::size_t used = p.put(data, ec);
    inbuf_.consume(used);
    if (ec == http::error::need_more) return false;
    if (ec) {
        protocol_error(ec);
        return false;
    }
    if (phase_ == phase::head && p.is_header_done()) {
        head_done();
        if (closed_ || events_stopped_ || close_now_) return false;
        phase_ = phase::body;
    }
    if (p.is_done()) {
        finish_message();
        return true;
    }
    if (body_over_limit_) {
        send(reply_413);
        close_after_send();
        return false;
    }
    return used > 0;
}

void conn_base::process_input() {
    while (!closed_ && !events_stopped_ && !read_paused_) {
        if (phase_ == phase::idle) {
            if (held_ || inbuf_.size() == 0) break;
            begin_message();
        }
        if (inbuf_.size() == 0) break;
        bool more = outbound_ ? run_parser(*reply_parser_) : run_parser(*request_parser_);
        if (!more) break;
    }
    if (phase_ == phase::idle && inbuf_.size() == 0 && inbuf_.capacity() > keep_capacity) inbuf_.shrink_to_fit();
}

void conn_base::head_done() {
    if (outbound_) {
        reply_parser_->fill(msg_);
        // Interim replies are not the answer; the real head follows.
        if (msg_.resp_code >= informational_min && msg_.resp_code <= informational_max &&
            msg_.resp_code != switching_protocols)
            return;
        bodyless_reply_ = false;
    } else {
        request_parser_->fill(msg_);
        const http_header* expect = msg_.header(expect_header);
        expect_continue_ = expect && iequals(expect->value, expect_continue) &&
                           (msg_.chunked || msg_.content_length > 0);
    }
    deliver(EV_HTTP_HEAD, &msg_);
    if (closed_ || events_stopped_ || close_now_) return;
    if (!streaming_ && msg_.content_length > static_cast<std::int64_t>(max_local_body_bytes)) {
        send(reply_413);
        close_after_send();
        return;
    }
    if (expect_continue_) send(reply_100);
}

void conn_base::on_body_piece(std::string_view piece) {
    if (events_stopped_ || piece.empty()) return;
    if (streaming_) {
        deliver(EV_HTTP_BODY, &piece);
        return;
    }
    if (body_.size() + piece.size() > max_local_body_bytes) {
        body_over_limit_ = true;
        return;
    }
    body_.append(piece);
}

void conn_base::finish_message() {
    ++messages_;
    bool interim = outbound_ && msg_.resp_code >= informational_min &&
                   msg_.resp_code <= informational_max && msg_.resp_code != switching_protocols;
    phase_ = phase::idle;
    if (!interim) {
        if (streaming_) {
            deliver(EV_HTTP_END, &msg_);
        } else {
            msg_.body = body_;
            deliver(outbound_ ? EV_HTTP_REPLY : EV_HTTP_REQUEST, &msg_);
        }
        if (outbound_) awaiting_reply_ = false;
    }
    streaming_ = false;
    request_parser_.reset();
    reply_parser_.reset();
    msg_.headers.clear();
    msg_.headers.shrink_to_fit();  // a quiet connection keeps no header table
    body_.clear();
    if (body_.capacity() > keep_capacity) body_.shrink_to_fit();
    wait_since_ = clock::now();
}

void conn_base::protocol_error(const error_code& ec) {
    if (outbound_) {
        close_now();
        return;
    }
    const char* reply = reply_400;
    if (ec == http::error::header_limit)
        reply = reply_431;
    else if (ec == http::error::bad_content_length || ec == http::error::bad_transfer_encoding ||
             ec == http::error::multiple_content_length)
        reply = reply_framing;
    else if (ec == http::error::body_limit)
        reply = reply_413;
    send(reply);
    close_after_send();
}

// ---- plain transport -----------------------------------------------------------------

void plain_conn::do_read() {
    reading_ = true;
    if (!quiet()) {
        read_now();
        return;
    }
    // Nothing buffered and nothing expected soon (an idle keep-alive
    // connection, a browser waiting for its script): wait without holding a
    // buffer, so that many such connections cost little memory.
    inbuf_.shrink_to_fit();
    socket.async_wait(tcp::socket::wait_read, [self = shared_from_this(), this](const error_code& ec) {
        if (closed_) return;
        if (ec) {
            on_read(ec, 0);
            return;
        }
        error_code rec;
        std::size_t n = socket.read_some(inbuf_.prepare(read_size_), rec);
        if (rec == asio::error::would_block || rec == asio::error::try_again) {
            reading_ = false;
            service();
            return;
        }
        on_read(rec, n);
    });
}

void plain_conn::read_now() {
    std::size_t want = read_size_;
    socket.async_read_some(inbuf_.prepare(want), [self = shared_from_this(), this, want](const error_code& ec,
                                                                                        std::size_t n) {
        // Large transfers get larger reads; a quiet connection keeps a small buffer.
        read_size_ = n == want ? read_max : plain_read_min;
        on_read(ec, n);
    });
}

void plain_conn::do_write() {
    writing_ = true;
    if (queue_.front().fd >= 0) {
        inflight_ = 1;
        send_file_piece();
        return;
    }
    asio::async_write(socket, gather(),
                      [self = shared_from_this(), this](const error_code& ec, std::size_t n) { on_written(ec, n); });
}

// Sends file bytes while the socket takes them (up to a turn's worth, so
// other connections get theirs), and waits for room only when it is full.
// Plain reads and sends: on loopback and on small devices they move file
// bytes faster than sendfile(2) does.
void plain_conn::send_file_piece() {
    auto& front = queue_.front();
    off_t off = static_cast<off_t>(front.off);
    std::uint64_t left = front.left;
    std::size_t total = 0;
    if (file_piece_.size() != plain_file_piece_bytes) file_piece_.resize(plain_file_piece_bytes);
    while (left > 0 && total < file_turn_bytes) {
        std::size_t want = left < plain_file_piece_bytes ? static_cast<std::size_t>(left) : plain_file_piece_bytes;
        ssize_t got = ::pread(front.fd, file_piece_.data(), want, off);
        if (got <= 0) {  // read error, or the file shrank under us
            on_file_written(asio::error::broken_pipe, 0);
            return;
        }
        ssize_t n = ::send(socket.native_handle(), file_piece_.data(), static_cast<std::size_t>(got), MSG_NOSIGNAL);
        if (n > 0) {
            off += n;
            total += static_cast<std::size_t>(n);
            left -= static_cast<std::uint64_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
        on_file_written(asio::error::broken_pipe, 0);
        return;
    }
    if (total > 0) {
        on_file_written({}, total);
        return;
    }
    socket.async_wait(tcp::socket::wait_write, [self = shared_from_this(), this](const error_code& ec) {
        if (closed_) return;
        if (ec) {
            on_file_written(ec, 0);
            return;
        }
        send_file_piece();
    });
}

bool plain_conn::nothing_unread() {
    if (inbuf_.size() > 0 || !complete_messages_only()) return false;
    error_code ec;
    return socket.available(ec) == 0 && !ec;
}

void plain_conn::do_shutdown() {
    error_code ec;
    socket.shutdown(tcp::socket::shutdown_send, ec);
    service();
}

void plain_conn::close_socket() {
    error_code ec;
    if (abortive_) socket.set_option(asio::socket_base::linger(true, 0), ec);
    socket.close(ec);
}

// ---- TLS transport ---------------------------------------------------------------------

void tls_conn::handshake() {
    stream.async_handshake(asio::ssl::stream_base::server, [self = shared_from_this(), this](const error_code& ec) {
        if (closed_) return;
        if (ec) {
            finish_close();
            return;
        }
        connected();
    });
}

void tls_conn::do_read() {
    reading_ = true;
    stream.async_read_some(inbuf_.prepare(tls_read_bytes),
                           [self = shared_from_this(), this](const error_code& ec, std::size_t n) { on_read(ec, n); });
}

void tls_conn::do_write() {
    writing_ = true;
    auto& front = queue_.front();
    if (front.fd >= 0) {
        inflight_ = 1;
        std::size_t want = front.left < tls_file_piece_bytes ? static_cast<std::size_t>(front.left) : tls_file_piece_bytes;
        file_piece_.resize(want);
        ssize_t n = ::pread(front.fd, file_piece_.data(), want, static_cast<off_t>(front.off));
        if (n <= 0) {
            writing_ = false;
            on_file_written(asio::error::broken_pipe, 0);
            return;
        }
        file_piece_.resize(static_cast<std::size_t>(n));
        asio::async_write(stream, asio::buffer(file_piece_),
                          [self = shared_from_this(), this](const error_code& ec, std::size_t written) {
                              on_file_written(ec, written);
                          });
        return;
    }
    asio::async_write(stream, gather(),
                      [self = shared_from_this(), this](const error_code& ec, std::size_t n) { on_written(ec, n); });
}

void tls_conn::do_shutdown() {
    stream.async_shutdown([self = shared_from_this(), this](const error_code&) { finish_close(); });
}

void tls_conn::close_socket() {
    error_code ec;
    if (abortive_) stream.lowest_layer().set_option(asio::socket_base::linger(true, 0), ec);
    stream.lowest_layer().close(ec);
}

}  // namespace net::detail
