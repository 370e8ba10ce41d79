// The event loop: one io_context, the listeners, outbound connects, the
// one-second tick, descriptor watches and timers.
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/address.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <boost/asio/ssl/context.hpp>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <map>
#include <vector>

#include "webkvd/net/conn_impl.hpp"

namespace net {

namespace detail {

namespace {
constexpr std::string_view tcp_scheme = "tcp://";
constexpr auto tick_interval = std::chrono::seconds(1);
constexpr const char* any_ipv4 = "0.0.0.0";
constexpr std::size_t max_port_digits = 5;
constexpr const char* dev_null = "/dev/null";
constexpr unsigned long max_port = 65535;
constexpr const char* invalid_cert = "Invalid SSL cert";
constexpr const char* invalid_key = "Invalid SSL key";

struct loop_state {
    asio::io_context io{1};
    std::optional<asio::ssl::context> tls;
    registry conns;
    std::vector<std::unique_ptr<tcp::acceptor>> acceptors;
    std::optional<asio::steady_timer> ticker;
    std::vector<std::function<void()>> tick_fns;
    std::map<int, std::unique_ptr<asio::posix::stream_descriptor>> watches;
    std::map<int, std::unique_ptr<asio::steady_timer>> timers;
    int next_id = 1;
    loop::limits limits;
    int spare_fd = -1;  // given up to take and close a connection when descriptors run out
};

loop_state& state() {
    static loop_state* s = new loop_state;  // lives for the process; never torn down mid-loop
    return *s;
}

// Splits "host:port", "tcp://host:port", "[v6]:port" or a bare port.
bool split_address(std::string_view address, std::string& host, std::string& port, bool bare_port_ok) {
    if (address.substr(0, tcp_scheme.size()) == tcp_scheme) address.remove_prefix(tcp_scheme.size());
    auto colon = address.rfind(':');
    if (colon == std::string_view::npos) {
        if (!bare_port_ok) return false;
        host = any_ipv4;
        port = std::string(address);
    } else {
        host = std::string(address.substr(0, colon));
        port = std::string(address.substr(colon + 1));
        if (host.size() >= 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
        if (host.empty()) host = any_ipv4;
    }
    if (port.empty() || port.size() > max_port_digits) return false;
    unsigned long value = 0;
    for (char ch : port) {
        if (ch < '0' || ch > '9') return false;
        value = value * 10 + static_cast<unsigned long>(ch - '0');
    }
    return value <= max_port;
}

void arm_tick();

void do_tick() {
    auto& s = state();
    for (auto& fn : s.tick_fns) fn();
    std::vector<conn_ptr> all(s.conns.begin(), s.conns.end());
    auto now = clock::now();
    for (auto& c : all) c->tick(now);
    flush_dirty();
    arm_tick();
}

void arm_tick() {
    auto& s = state();
    s.ticker->expires_after(tick_interval);
    s.ticker->async_wait([](const error_code& ec) {
        if (!ec) do_tick();
    });
}

void register_conn(const conn_ptr& c) {
    auto& s = state();
    c->reg_it = s.conns.insert(s.conns.end(), c);
    c->registered = true;
}

void adopt(tcp::socket socket, handler_fn handler, bool tls) {
    if (state().conns.size() >= state().limits.max_connections) {
        error_code ignored;
        socket.close(ignored);
        return;
    }
    error_code ignored;
    socket.set_option(tcp::no_delay(true), ignored);
    socket.non_blocking(true, ignored);
    if (tls) {
        auto c = std::make_shared<tls_conn>();
        c->stream.next_layer() = std::move(socket);
        c->set_endpoints(c->stream.next_layer());
        c->handler = handler;
        register_conn(c);
        c->deliver(EV_ACCEPT, nullptr);
        c->handshake();
    } else {
        auto c = std::make_shared<plain_conn>(false);
        c->socket = std::move(socket);
        c->set_endpoints(c->socket);
        c->handler = handler;
        register_conn(c);
        c->deliver(EV_ACCEPT, nullptr);
        c->connected();
    }
}

// Out of descriptors: the spare one makes room to take the waiting
// connection and close it at once, so it is refused rather than left hanging.
bool refuse_one(tcp::acceptor& acceptor) {
    auto& s = state();
    if (s.spare_fd < 0) return false;
    ::close(s.spare_fd);
    int fd = ::accept4(acceptor.native_handle(), nullptr, nullptr, SOCK_CLOEXEC);
    if (fd >= 0) ::close(fd);
    s.spare_fd = ::open(dev_null, O_RDONLY | O_CLOEXEC);
    return fd >= 0;
}

// Waits for the listener to become readable, then takes every connection
// that is waiting: one failed accept per burst instead of one per client.
void accept_next(tcp::acceptor& acceptor, handler_fn handler, bool tls) {
    acceptor.async_wait(tcp::acceptor::wait_read, [&acceptor, handler, tls](const error_code& ec) {
        if (ec == asio::error::operation_aborted) return;
        for (;;) {
            error_code aec;
            tcp::socket socket(io());
            acceptor.accept(socket, aec);
            if (aec == asio::error::no_descriptors || aec.value() == ENFILE) {
                if (!refuse_one(acceptor)) break;
                continue;
            }
            if (aec) break;  // would block, or a transient failure
            adopt(std::move(socket), handler, tls);
        }
        accept_next(acceptor, handler, tls);
    });
}

int connect_error_code(const error_code& ec) {
    if (!ec) return 0;
    if (ec.category() == boost::system::system_category()) return ec.value();
    return EHOSTUNREACH;  // name resolution failures have no errno of their own
}

}  // namespace

asio::io_context& io() { return state().io; }
asio::ssl::context* tls_context() { return state().tls ? &*state().tls : nullptr; }
registry& connections() { return state().conns; }

}  // namespace detail

namespace loop {

using namespace detail;

void init() {
    auto& s = state();
    if (s.ticker) return;
    s.spare_fd = ::open(dev_null, O_RDONLY | O_CLOEXEC);
    s.ticker.emplace(s.io);
    arm_tick();
}

limits& settings() { return state().limits; }

bool load_tls(const std::string& pem_file, std::string& error) {
    auto& s = state();
    s.tls.emplace(asio::ssl::context::tls_server);
    s.tls->set_options(asio::ssl::context::default_workarounds | asio::ssl::context::no_sslv2 |
                       asio::ssl::context::no_sslv3 | asio::ssl::context::no_tlsv1 |
                       asio::ssl::context::no_tlsv1_1 | asio::ssl::context::single_dh_use);
    error_code ec;
    s.tls->use_certificate_chain_file(pem_file, ec);
    if (ec) {
        error = invalid_cert;
        s.tls.reset();
        return false;
    }
    s.tls->use_private_key_file(pem_file, asio::ssl::context::pem, ec);
    if (ec || SSL_CTX_check_private_key(s.tls->native_handle()) != 1) {
        error = invalid_key;
        s.tls.reset();
        return false;
    }
    return true;
}

bool listen(const std::string& address, handler_fn handler, bool tls) {
    auto& s = state();
    if (tls && !s.tls) return false;
    std::string host, port;
    if (!split_address(address, host, port, true)) return false;
    error_code ec;
    tcp::resolver resolver(s.io);
    auto results = resolver.resolve(host, port, tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    if (ec || results.empty()) return false;
    auto acceptor = std::make_unique<tcp::acceptor>(s.io);
    auto endpoint = results.begin()->endpoint();
    acceptor->open(endpoint.protocol(), ec);
    if (ec) return false;
    acceptor->set_option(tcp::acceptor::reuse_address(true), ec);
    acceptor->bind(endpoint, ec);
    if (ec) return false;
    acceptor->listen(asio::socket_base::max_listen_connections, ec);
    if (ec) return false;
    acceptor->non_blocking(true, ec);
    if (ec) return false;
    accept_next(*acceptor, handler, tls);
    s.acceptors.push_back(std::move(acceptor));
    return true;
}

connection* connect(const std::string& address, handler_fn handler, void* user_data) {
    std::string host, port;
    if (!split_address(address, host, port, false)) return nullptr;
    auto c = std::make_shared<plain_conn>(true);
    c->handler = handler;
    c->user_data = user_data;
    register_conn(c);
    auto on_connected = [c](const error_code& ec) {
        if (c->closing() && !c->registered) return;
        int err = connect_error_code(ec);
        if (ec == asio::error::operation_aborted) return;
        if (!err) {
            error_code ignored;
            c->socket.set_option(tcp::no_delay(true), ignored);
            c->socket.non_blocking(true, ignored);
            c->set_endpoints(c->socket);
        }
        c->deliver(EV_CONNECT, &err);
        if (err)
            c->finish_close();
        else
            c->connected();
    };
    error_code ec;
    auto ip = asio::ip::make_address(host, ec);
    if (!ec) {
        c->socket.async_connect(tcp::endpoint(ip, static_cast<unsigned short>(std::stoul(port))), on_connected);
    } else {
        auto resolver = std::make_shared<tcp::resolver>(io());
        resolver->async_resolve(host, port, [c, resolver, on_connected](const error_code& rec,
                                                                        tcp::resolver::results_type results) {
            if (rec) {
                on_connected(rec);
                return;
            }
            asio::async_connect(c->socket, results,
                                [on_connected](const error_code& cec, const tcp::endpoint&) { on_connected(cec); });
        });
    }
    return c.get();
}

void run() {
    auto& s = state();
    // SIGTERM ends the loop in order, so that the process exits normally
    // (and a leak checker sees its memory) instead of dying mid-pass.
    asio::signal_set terminate(s.io, SIGTERM);
    bool terminated = false;
    terminate.async_wait([&terminated](const error_code& ec, int) {
        if (ec) return;
        terminated = true;
        state().io.stop();
    });
    while (!terminated) {
        s.io.run();
        s.io.restart();
    }
}

void run_for_test() {
    state().io.restart();
    state().io.run();
}

void stop() { state().io.stop(); }

std::size_t connection_count() { return state().conns.size(); }

int watch(int fd, bool for_write, std::function<void()> ready) {
    auto& s = state();
    int id = s.next_id++;
    auto d = std::make_unique<asio::posix::stream_descriptor>(s.io, fd);
    auto* raw = d.get();
    s.watches[id] = std::move(d);
    raw->async_wait(for_write ? asio::posix::descriptor_base::wait_write : asio::posix::descriptor_base::wait_read,
                    [id, fn = std::move(ready)](const error_code& ec) {
                        auto& st = state();
                        auto it = st.watches.find(id);
                        if (it == st.watches.end()) return;
                        it->second->release();
                        st.watches.erase(it);
                        if (ec == asio::error::operation_aborted) return;
                        fn();
                    });
    return id;
}

void unwatch(int id) {
    auto& s = state();
    auto it = s.watches.find(id);
    if (it == s.watches.end()) return;
    error_code ec;
    it->second->cancel(ec);
    it->second->release();
    s.watches.erase(it);
}

int timer(unsigned milliseconds, std::function<void()> fire) {
    auto& s = state();
    int id = s.next_id++;
    auto t = std::make_unique<asio::steady_timer>(s.io);
    t->expires_after(std::chrono::milliseconds(milliseconds));
    t->async_wait([id, fn = std::move(fire)](const error_code& ec) {
        auto& st = state();
        auto it = st.timers.find(id);
        if (it == st.timers.end() || ec) return;
        st.timers.erase(it);
        fn();
    });
    s.timers[id] = std::move(t);
    return id;
}

void cancel_timer(int id) {
    auto& s = state();
    auto it = s.timers.find(id);
    if (it == s.timers.end()) return;
    it->second->cancel();
    s.timers.erase(it);
}

void on_tick(std::function<void()> fn) { state().tick_fns.push_back(std::move(fn)); }

}  // namespace loop
}  // namespace net
