// A connection that records what a handler writes and which close mode it
// set, for unit tests of the modules above the connection layer.
#pragma once

#include <unistd.h>

#include <string>

#include "webkvd/net/connection.hpp"

struct fake_connection : net::connection {
    std::string out;              // everything sent, in order
    bool after_send = false;      // close_after_send() called
    bool now = false;             // close_now() called
    bool streamed = false;        // stream_body() called
    bool paused = false;
    bool held = false;
    bool tls = false;
    bool outbound = false;

    void send(std::string_view bytes) override { out.append(bytes); }
    void send_file(int fd, std::uint64_t off, std::uint64_t len) override {
        std::string buf(len, '\0');
        ssize_t n = ::pread(fd, buf.data(), len, static_cast<off_t>(off));
        if (n > 0) out.append(buf.data(), static_cast<std::size_t>(n));
        ::close(fd);
    }
    std::size_t queued() const override { return 0; }
    void close_after_send() override { after_send = true; }
    void close_now() override { now = true; }
    bool closing() const override { return after_send || now; }
    void stream_body() override { streamed = true; }
    void pause_reading(bool p) override { paused = p; }
    void hold(bool h) override { held = h; }
    bool is_tls() const override { return tls; }
    bool is_outbound() const override { return outbound; }
    std::string peer_address() const override { return "127.0.0.1"; }
    unsigned peer_port() const override { return 40000; }
    unsigned local_port() const override { return 8000; }
};
