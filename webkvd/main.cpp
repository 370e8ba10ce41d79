// webkvd: settings from defaults and options, then the server in the
// foreground or under a restarting supervisor.
#include <cstdio>
#include <cstdlib>

#include "webkvd/main/config.hpp"
#include "webkvd/main/options.hpp"
#include "webkvd/main/supervisor.hpp"
#include "webkvd/server/server.hpp"

namespace {
constexpr int exit_usage = 1;
}

int main(int argc, char* argv[]) {
    config_defaults();
    if (options_parse(argc, argv, config) == options_outcome::usage) {
        options_write_usage(stderr, argv[0]);
        return exit_usage;
    }
    config_options_read();
    if (config.daemon_mode) supervisor_start(run_server);
    run_server();
}
