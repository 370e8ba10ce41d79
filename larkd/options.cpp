#include "larkd/options.hpp"

#include <getopt.h>

#include <cstdio>

#include "store/conn.hpp"

namespace {

constexpr char usage_text[] =
    "usage: larkd [-s SOCKET] [-f DATAFILE] [-d]\n"
    "  -s SOCKET    Unix socket to listen on (default: $LARKD_SOCKET or /tmp/.larkd_server_sock)\n"
    "  -f DATAFILE  load the keys from DATAFILE at start and save them there after every change\n"
    "  -d           run in the background once the socket accepts connections\n";
constexpr char short_options[] = "s:f:dh";

}  // namespace

bool larkd_parse_options(int argc, char** argv, larkd_options* options, bool* help) {
    options->socket_path = store_socket_path();
    *help = false;
    int opt = 0;
    while ((opt = getopt(argc, argv, short_options)) != -1) {
        switch (opt) {
            case 's': options->socket_path = optarg; break;
            case 'f': options->data_file = optarg; break;
            case 'd': options->daemon = true; break;
            case 'h':
                *help = true;
                std::fputs(usage_text, stdout);
                return false;
            default:
                std::fputs(usage_text, stderr);
                return false;
        }
    }
    if (optind < argc) {
        std::fputs(usage_text, stderr);
        return false;
    }
    return true;
}
