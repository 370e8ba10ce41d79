// The connection object behind net::connection: output queue, input
// parsing, close modes and event delivery, over a plain or TLS socket.
#pragma once

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/stream.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/beast/core/flat_buffer.hpp>

#include <array>
#include <chrono>
#include <span>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <optional>
#include <string>

#include "webkvd/net/connection.hpp"
#include "webkvd/net/http_parser.hpp"

namespace net::detail {

inline constexpr std::size_t plain_read_min = 4 * 1024;
inline constexpr std::size_t read_max = 64 * 1024;

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using error_code = boost::system::error_code;
using clock = std::chrono::steady_clock;

asio::io_context& io();
asio::ssl::context* tls_context();

class conn_base;
using conn_ptr = std::shared_ptr<conn_base>;
using registry = std::list<conn_ptr>;
registry& connections();
void flush_dirty();

struct out_item {
    std::string data;         // bytes to send, or
    int fd = -1;              // a file segment: fd, offset, bytes left
    std::uint64_t off = 0;
    std::uint64_t left = 0;
    std::size_t sent = 0;     // bytes of data already written
};

// FIFO of output items that holds no memory while empty (an empty std::deque
// keeps a block), so that many quiet connections stay small.
class out_queue {
public:
    using items = std::deque<out_item>;
    bool empty() const { return !q_ || q_->empty(); }
    std::size_t size() const { return q_ ? q_->size() : 0; }
    out_item& front() { return q_->front(); }
    out_item& back() { return q_->back(); }
    void push_back(out_item&& item) {
        if (!q_) q_ = std::make_unique<items>();
        q_->push_back(std::move(item));
    }
    void pop_front() {
        q_->pop_front();
        if (q_->empty()) q_.reset();
    }
    void clear() { q_.reset(); }
    items::iterator begin() { return q_ ? q_->begin() : none().begin(); }
    items::iterator end() { return q_ ? q_->end() : none().end(); }

private:
    static items& none() {
        static items empty_items;
        return empty_items;
    }
    std::unique_ptr<items> q_;
};

class conn_base : public connection, public std::enable_shared_from_this<conn_base>, private body_sink {
public:
    conn_base(bool tls, bool outbound);
    ~conn_base() override;

    // connection
    void send(std::string_view bytes) override;
    void send_file(int fd, std::uint64_t off, std::uint64_t len) override;
    std::size_t queued() const override { return queued_bytes_; }
    void close_after_send() override;
    void close_now() override;
    bool closing() const override { return send_close_ || close_now_ || closed_; }
    void stream_body() override;
    void pause_reading(bool paused) override;
    void hold(bool held) override;
    void expect_bodyless_reply() override { bodyless_reply_ = true; }
    bool is_tls() const override { return tls_; }
    bool is_outbound() const override { return outbound_; }
    std::string peer_address() const override;
    unsigned peer_port() const override;
    unsigned local_port() const override;

    // Loop side.
    void deliver(int ev, void* data);
    void connected();                // socket ready (accepted, handshaken or connected)
    void tick(clock::time_point now);
    void finish_close();
    void run_deferred();  // the service() deferred while other handlers ran
    void set_endpoints(const tcp::socket& s);
    registry::iterator reg_it;
    bool registered = false;

protected:
    // Transport hooks, implemented per socket type.
    virtual void do_read() = 0;
    virtual void do_write() = 0;
    virtual void do_shutdown() = 0;
    virtual void close_socket() = 0;
    // True when the peer has sent nothing that is still unread, so a plain
    // close cannot turn into a reset that destroys the reply.
    virtual bool nothing_unread() { return false; }

    // Completion handling shared by both transports.
    void on_read(const error_code& ec, std::size_t n);
    void on_written(const error_code& ec, std::size_t n);
    void on_file_written(const error_code& ec, std::size_t n);
    void service();
    void schedule();
    // No input buffered and none expected right away.
    bool quiet() const;
    bool complete_messages_only() const;  // no message half read
    // The queued texts before the first file segment, as one write.
    std::span<const asio::const_buffer> gather();

    boost::beast::flat_buffer inbuf_;
    out_queue queue_;
    static constexpr std::size_t gather_max = 16;
    std::array<asio::const_buffer, gather_max> out_bufs_;  // buffers of the write in flight
    std::string file_piece_;  // file bytes in flight on TLS connections
    std::size_t inflight_ = 0;  // queue items the write in flight covers
    bool reading_ = false;
    bool writing_ = false;
    bool connected_ = false;
    bool closed_ = false;
    bool abortive_ = false;  // close with a reset: the peer stopped reading

private:
    enum class phase : std::uint8_t { idle, head, body };
    void process_input();
    template <class Parser>
    bool run_parser(Parser& p);
    void begin_message();
    void head_done();
    void finish_message();
    void protocol_error(const error_code& ec);
    void on_eof();
    void begin_graceful_close();
    bool waiting_for_head() const;
    void on_body_piece(std::string_view piece) override;

    bool tls_;
    bool outbound_;
    bool send_close_ = false;   // close once the queue is written
    bool close_now_ = false;
    bool events_stopped_ = false;
    bool read_paused_ = false;
    bool held_ = false;
    bool peer_eof_ = false;
    bool discarding_ = false;   // closing: input is read and dropped
    bool shutdown_started_ = false;
    bool service_posted_ = false;
    bool streaming_ = false;
    bool body_over_limit_ = false;
    bool expect_continue_ = false;
    bool bodyless_reply_ = false;
    bool awaiting_reply_ = false;
    bool above_high_ = false;
    phase phase_ = phase::idle;
    std::uint32_t messages_ = 0;
    int dispatching_ = 0;  // handler calls of this connection in progress
    bool in_dirty_ = false;
    clock::time_point write_progress_;  // last time output moved (or began)  // messages parsed on this connection
    std::size_t queued_bytes_ = 0;
    clock::time_point wait_since_;
    std::optional<http_parser<true>> request_parser_;
    std::optional<http_parser<false>> reply_parser_;
    http_message msg_;
    std::string body_;
    std::optional<asio::steady_timer> linger_;
    const tcp::socket* socket_ = nullptr;  // asked for the endpoints when needed
};

// Plain TCP connection.
class plain_conn final : public conn_base {
public:
    explicit plain_conn(bool outbound) : conn_base(false, outbound), socket(io()) {}
    tcp::socket socket;

private:
    void do_read() override;
    void do_write() override;
    void do_shutdown() override;
    void close_socket() override;
    void send_file_piece();
    void read_now();
    bool nothing_unread() override;
    std::size_t read_size_ = plain_read_min;
};

// TLS server-side connection.
class tls_conn final : public conn_base {
public:
    tls_conn() : conn_base(true, false), stream(io(), *tls_context()) {}
    asio::ssl::stream<tcp::socket> stream;
    void handshake();

private:
    void do_read() override;
    void do_write() override;
    void do_shutdown() override;
    void close_socket() override;
};

}  // namespace net::detail
