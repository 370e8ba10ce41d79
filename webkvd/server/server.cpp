#include "webkvd/server/server.hpp"

#include <signal.h>
#include <sys/types.h>

#include <csignal>
#include <cstdlib>
#include <string>

#include "webkvd/backend/routes.hpp"
#include "webkvd/calls/pending.hpp"
#include "webkvd/main/config.hpp"
#include "webkvd/router/router.hpp"
#include "webkvd/server/env_limits.hpp"

namespace {

constexpr int exit_setup_failed = 1;
// The -r backend serves every path that no local route takes, unchanged.
constexpr const char* backend_route_prefix = "/";

[[noreturn]] void fail(const char* fmt, const char* value) {
    notice(startup_notice_level, fmt, value);
    notify_supervisor();
    std::exit(exit_setup_failed);
}

// The upload directory as the start-up line shows it: without its final slash.
std::string upload_dir_shown() {
    std::string d = upload_dir();
    if (d.size() > 1 && d.back() == '/') d.pop_back();
    return d;
}

}  // namespace

void plain_event_handler(net::connection& c, int ev, void* ev_data) { http_event_handler(c, ev, ev_data, 0); }
void tls_event_handler(net::connection& c, int ev, void* ev_data) { http_event_handler(c, ev, ev_data, 1); }

void notify_supervisor() {
    if (config.supervisor_pid > 0) kill(static_cast<pid_t>(config.supervisor_pid), SIGUSR1);
}

void run_server() {
    std::signal(SIGPIPE, SIG_IGN);
    net::loop::init();
    env_limits_from_environment();
    if (config.reverse_host[0] != '\0') backend_add_route(backend_route_prefix, backend_route_prefix, config.reverse_host);
    pending_init();
    // Calls past their deadline are answered within a tick even when no
    // other request arrives to sweep them; a waiting browser never hangs.
    net::loop::on_tick(pending_sweep);

    if (config.http_port[0] != '\0' && !net::loop::listen(config.http_port, plain_event_handler, false))
        fail(bind_failed_format, config.http_port);

    if (config.https_port[0] != '\0') {
        std::string error;
        bool cert_ok = net::loop::load_tls(config.cert, error);
        // A busy address is reported before a bad certificate.  Without a
        // certificate the address is still bound (as plain TCP) to find out;
        // the process ends right after.
        if (!net::loop::listen(config.https_port, tls_event_handler, cert_ok))
            fail(bind_failed_format, config.https_port);
        if (!cert_ok) fail(cert_failed_format, error.c_str());
    }

    if (config.http_port[0] != '\0') notice(startup_notice_level, http_on_format, config.http_port);
    if (config.https_port[0] != '\0') notice(startup_notice_level, https_on_format, config.https_port);
    notice(startup_notice_level, roots_format, config.www_root, upload_dir_shown().c_str());

    net::loop::run();
    std::exit(0);  // SIGTERM: an orderly end
}
