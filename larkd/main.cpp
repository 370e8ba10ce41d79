// larkd: the development store daemon. Keys live in memory; with -f they are
// loaded at start and saved after every change.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "larkd/keys.hpp"
#include "larkd/listener.hpp"
#include "larkd/options.hpp"
#include "larkd/persist.hpp"
#include "larkd/server.hpp"

namespace {

constexpr int exit_ok = 0;
constexpr int exit_failure = 1;
constexpr char error_message[] = "larkd: %s\n";
constexpr char fork_failed_message[] = "larkd: fork";
constexpr char null_device[] = "/dev/null";

void report(const std::string& text) { std::fprintf(stderr, error_message, text.c_str()); }

// Detaches from the terminal. The parent returns true and exits; the socket
// already accepts connections by then, so its exit means "ready".
bool detach(bool* is_parent) {
    pid_t pid = fork();
    if (pid < 0) {
        std::perror(fork_failed_message);
        return false;
    }
    *is_parent = pid > 0;
    if (*is_parent) return true;
    setsid();
    int null_fd = open(null_device, O_RDWR);
    if (null_fd >= 0) {
        dup2(null_fd, STDIN_FILENO);
        dup2(null_fd, STDOUT_FILENO);
        dup2(null_fd, STDERR_FILENO);
        if (null_fd > STDERR_FILENO) close(null_fd);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    larkd_options options;
    bool help = false;
    if (!larkd_parse_options(argc, argv, &options, &help)) return help ? exit_ok : exit_failure;

    larkd_keys keys;
    std::string error;
    if (!options.data_file.empty() && !larkd_load(options.data_file, &keys, &error)) {
        report(error);
        return exit_failure;
    }
    int listen_fd = larkd_listen(options.socket_path, &error);
    if (listen_fd < 0) {
        report(error);
        return exit_failure;
    }
    if (options.daemon) {
        bool is_parent = false;
        if (!detach(&is_parent)) {
            larkd_unlink_own_socket(options.socket_path);
            return exit_failure;
        }
        if (is_parent) {
            close(listen_fd);
            return exit_ok;
        }
    }
    int status = larkd_serve(listen_fd, keys, options.data_file);
    close(listen_fd);
    larkd_unlink_own_socket(options.socket_path);
    return status;
}
