#include "webkvd/main/supervisor.hpp"

#include <sys/types.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>

#include "webkvd/main/config.hpp"

namespace {

constexpr const char* syslog_ident = "webkvd";
constexpr const char* null_device = "/dev/null";
constexpr int exit_stopped = 1;

// Job-control and hang-up signals must not stop or end a detached daemon.
void set_signal_dispositions() {
    std::signal(SIGCHLD, SIG_DFL);
    std::signal(SIGTSTP, SIG_IGN);
    std::signal(SIGTTOU, SIG_IGN);
    std::signal(SIGTTIN, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    std::signal(SIGABRT, SIG_IGN);
    std::signal(SIGHUP, SIG_IGN);
    std::signal(SIGUSR1, on_sigusr1);  // glibc's signal() restarts waitpid
}

void detach_streams() {
    (void)std::freopen(null_device, "r", stdin);
    (void)std::freopen(null_device, "r", stdout);
    (void)std::freopen(null_device, "r", stderr);
}

}  // namespace

void on_sigusr1(int sig) {
    if (sig == SIGUSR1) stop_requested = 1;
}

void supervisor_start(void (*serve)()) {
    pid_t pid = fork();
    if (pid < 0) std::exit(exit_stopped);
    if (pid > 0) std::exit(0);

    set_signal_dispositions();
    if (setsid() < 0) std::exit(exit_stopped);
    detach_streams();
    openlog(syslog_ident, LOG_PID, LOG_DAEMON);
    config.supervisor_pid = static_cast<int>(getpid());

    for (;;) {
        if (stop_requested) std::exit(exit_stopped);
        pid_t child = fork();
        if (child < 0) std::exit(exit_stopped);
        if (child == 0) {
            serve();
            std::exit(exit_stopped);  // serve() does not return; never reached
        }
        // Any exit of the child, whatever its status, leads to a new one.
        pid_t r;
        do {
            r = waitpid(child, nullptr, 0);
        } while (r < 0 && errno == EINTR);
        if (r < 0) std::exit(exit_stopped);
    }
}
