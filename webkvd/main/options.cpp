#include "webkvd/main/options.hpp"

#include <getopt.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* short_options = "p:s:c:r:w:h:l:d";

const option long_options[] = {
    {"http_port", required_argument, nullptr, 'p'},
    {"https_port", required_argument, nullptr, 's'},
    {"cert", required_argument, nullptr, 'c'},
    {"reverse", required_argument, nullptr, 'r'},
    {"www", required_argument, nullptr, 'w'},
    {"log", required_argument, nullptr, 'l'},
    {nullptr, 0, nullptr, 0},
};

// strncpy into the zero-filled field keeps it NUL-terminated and cuts a
// longer value silently; a repeated option replaces the earlier value whole.
template <std::size_t N>
void copy_option(char (&field)[N], const char* value) {
    std::memset(field, 0, N);
    std::strncpy(field, value, N - 1);
}

}  // namespace

options_outcome options_parse(int argc, char* argv[], server_config& cfg) {
    optind = 0;  // full re-initialisation of getopt's scan
    for (;;) {
        int ch = getopt_long(argc, argv, short_options, long_options, nullptr);
        switch (ch) {
        case 'p': copy_option(cfg.http_port, optarg); break;
        case 's': copy_option(cfg.https_port, optarg); break;
        case 'c': copy_option(cfg.cert, optarg); break;
        case 'r': copy_option(cfg.reverse_host, optarg); break;
        case 'w': copy_option(cfg.www_root, optarg); break;
        case 'l': cfg.log_level = std::atoi(optarg); break;  // not a number: 0
        case 'd': cfg.daemon_mode = 1; break;
        case 'h': return options_outcome::usage;
        default: return options_outcome::run;  // end, unknown, or missing argument
        }
    }
}

void options_write_usage(std::FILE* to, const char* argv0) { std::fprintf(to, usage_format, argv0); }
