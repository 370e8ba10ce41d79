// rook: one command against the store daemon per run.
#include <cstdio>
#include <cstdlib>

#include "rook/commands.hpp"
#include "store/conn_blocking.hpp"

namespace {

constexpr char connect_error_message[] = "connect to larkd error";

}  // namespace

int main(int argc, char** argv) {
    // The daemon is reached before the command line is looked at.
    int fd = store_open_blocking();
    if (fd < 0) {
        std::perror(connect_error_message);
        return rook_exit_failure;
    }
    store_conn* c = static_cast<store_conn*>(std::calloc(1, sizeof(store_conn)));
    if (c == nullptr) return rook_exit_failure;
    c->fd = fd;
    c->profile = store_profile_blocking;
    int status = rook_run(c, argc - 1, argv + 1);
    store_close_blocking(c);
    std::free(c);
    return status;
}
