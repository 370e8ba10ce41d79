// The connection layer: one event loop, listeners, plain and TLS connections
// behind one interface, outbound connects, a one-second tick, and HTTP
// message events.  Handlers are short and synchronous: they append output
// and set close modes; the I/O happens in the loop afterwards.
//
// This header does not pull in Asio or Beast, so that the modules built on
// it compile quickly and can be tested with a fake connection.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace net {

class connection;

// Events handed to a connection's handler.  ev_data is given per event.
enum event : int {
    EV_POLL,          // once a second, every connection; ev_data null
    EV_ACCEPT,        // a listener accepted this connection; ev_data null
    EV_CONNECT,       // outbound connect finished; ev_data int*: 0 or an errno value
    EV_HTTP_HEAD,     // a message head is complete; ev_data http_message* (no body yet).
                      // The handler may call connection::stream_body() here.
    EV_HTTP_REQUEST,  // a whole request (head + body) on a buffered connection; ev_data http_message*
    EV_HTTP_REPLY,    // a whole reply on a buffered outbound connection; ev_data http_message*
    EV_HTTP_BODY,     // streamed mode: the next piece of the body; ev_data std::string_view*
    EV_HTTP_END,      // streamed mode: the message is complete; ev_data http_message*
    EV_DRAIN,         // the output queue fell below drain_mark after being above high_mark
    EV_CLOSE,         // the connection is closed; the last event, exactly once. ev_data null
};

struct http_header {
    std::string_view name;
    std::string_view value;
};

// A parsed request or reply.  All views point into storage owned by the
// connection and stay valid until the handler of the event returns (for
// EV_HTTP_HEAD in streamed mode: until EV_HTTP_END has been handled).
struct http_message {
    bool is_request = true;
    std::string_view method;       // request: as received, e.g. "GET"
    std::string_view target;       // request: the raw request target
    std::string_view uri;          // request: path part of target, not decoded
    std::string_view query;        // request: text after '?' (empty when none)
    bool has_query = false;
    std::string_view proto;        // "HTTP/1.1" or "HTTP/1.0"
    int resp_code = 0;             // reply: status code
    std::string_view resp_status_msg;  // reply: reason text
    std::vector<http_header> headers;  // every header, in the order received
    std::string_view body;         // whole body (buffered events only)
    std::int64_t content_length = -1;  // -1 when the head has none
    bool chunked = false;          // Transfer-Encoding: chunked
    bool body_until_close = false; // reply without length: body runs to the close

    // First header of that name (ASCII case-insensitive), or null.
    const http_header* header(std::string_view name) const;
};

using handler_fn = void (*)(connection& c, int ev, void* ev_data);

// Limits of the HTTP layer.
inline constexpr std::size_t max_head_bytes = 64 * 1024;
inline constexpr std::size_t max_local_body_bytes = 16 * 1024 * 1024;
// Output-queue marks for flow control of relayed bodies.
inline constexpr std::size_t high_mark = 256 * 1024;
inline constexpr std::size_t drain_mark = 64 * 1024;

class connection {
public:
    handler_fn handler = nullptr;
    void* user_data = nullptr;

    virtual ~connection() = default;

    // Output: appended to the queue and written in order.
    virtual void send(std::string_view bytes) = 0;
    void printf(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void vprintf(const char* fmt, std::va_list ap);
    // Chunked transfer coding: "<hex>\r\n<data>\r\n"; an empty piece sends nothing.
    void send_chunk(std::string_view data);
    void printf_chunk(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    void send_last_chunk();  // "0\r\n\r\n"
    // Queues len bytes of the open file fd from offset off; the connection
    // takes ownership of fd and closes it when the segment is sent or dropped.
    // The file is read piece by piece as the queue drains.
    virtual void send_file(int fd, std::uint64_t off, std::uint64_t len) = 0;
    // Bytes waiting in the output queue (file segments count their rest).
    virtual std::size_t queued() const = 0;

    // Close modes.  close_after_send: no further events but EV_CLOSE; closes
    // when the queue is written.  close_now: drops the queue.  The close
    // itself, and EV_CLOSE, happen after the current handler returns.
    virtual void close_after_send() = 0;
    virtual void close_now() = 0;
    virtual bool closing() const = 0;

    // Input control.
    // stream_body(): only during EV_HTTP_HEAD; the body then arrives as
    // EV_HTTP_BODY pieces and EV_HTTP_END, with no size limit.
    virtual void stream_body() = 0;
    // pause_reading(true) stops reading from the socket (flow control).
    virtual void pause_reading(bool paused) = 0;
    // hold(true): an exchange is in progress.  The next message is not parsed
    // until hold(false), and the idle/head time-out does not run meanwhile.
    virtual void hold(bool held) = 0;
    // Outbound: the reply to the request just sent has no body whatever its
    // head says (the request was HEAD).
    virtual void expect_bodyless_reply() {}

    // Facts about the connection.
    virtual bool is_tls() const = 0;
    virtual bool is_outbound() const = 0;
    virtual std::string peer_address() const = 0;  // "1.2.3.4"
    virtual unsigned peer_port() const = 0;
    virtual unsigned local_port() const = 0;
};

// The event loop and its endpoints.  One per process, single-threaded.
namespace loop {

// Creates the loop (idempotent).  Must come before listen/connect.
void init();

// Opens a listener on "8000", "host:port" or "tcp://host:port" (a bare port
// means every IPv4 address).  tls: serve TLS with the certificate and key
// loaded by load_tls().  Returns false when the address cannot be bound.
bool listen(const std::string& address, handler_fn handler, bool tls);

// Loads certificate and private key from one PEM file for TLS listeners.
// On failure returns false and sets error to "Invalid SSL cert" or
// "Invalid SSL key".
bool load_tls(const std::string& pem_file, std::string& error);

// Starts an outbound TCP connection to "host:port".  Returns the connection
// at once (output may be queued before the connect finishes; EV_CONNECT
// reports the result), or null when the address cannot be used.
connection* connect(const std::string& address, handler_fn handler, void* user_data);

// Runs until SIGTERM (returns then), delivering EV_POLL to every
// connection once a second.
void run();

// Runs until no work is left or stop() is called (tests).
void run_for_test();
void stop();

// One-shot readiness watch of a non-blocking descriptor (a pipe of a child
// process, say): ready() is called once when fd can be read (or written);
// call watch again to wait again.  Returns an id for unwatch().  The caller
// keeps ownership of fd and must unwatch before closing it.
int watch(int fd, bool for_write, std::function<void()> ready);
void unwatch(int id);

// One-shot timer; returns an id for cancel_timer().
int timer(unsigned milliseconds, std::function<void()> fire);
void cancel_timer(int id);

// Called once a second, before the connections' EV_POLL (reaping children).
void on_tick(std::function<void()> fn);

// Number of open connections (client and outbound).
std::size_t connection_count();

// Limits that tests and operators may change before listening.
struct limits {
    unsigned head_timeout_s = 30;  // idle or slow head: closed after this
    std::size_t max_connections = 4096;  // accepted beyond this: closed at once
};
limits& settings();

}  // namespace loop

// Case-insensitive ASCII comparison helpers shared by the HTTP modules.
bool iequals(std::string_view a, std::string_view b);
bool istarts_with(std::string_view s, std::string_view prefix);

}  // namespace net
