// The webkvd command line.
#pragma once

#include <cstdio>

#include "webkvd/main/config.hpp"

// With argv[0] in place of %s.  It names neither -h nor -d.
inline constexpr const char* usage_format =
    "Usage: %s [-p http_port] [-s https_port] [-l log] [-r reverse_host][-c cert] [-w www_root]\n"
    "Example: ./bin/webkvd -p 8000 -s 8443 -r 10.1.1.1:80 -c ../tests/ssl.pem -w ../tests/web_root\n";

enum class options_outcome {
    run,    // go on with what was read
    usage,  // -h was given: write the usage text and exit with status 1
};

// Reads options into cfg until the end of the options or the first unknown
// option or option without its argument (getopt_long complains on standard
// error); whatever follows is ignored.  String values are cut to their
// field size minus one.  May be called more than once (it restarts the scan).
options_outcome options_parse(int argc, char* argv[], server_config& cfg);

void options_write_usage(std::FILE* to, const char* argv0);
