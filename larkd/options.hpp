// larkd's command line.
#pragma once

#include <string>

struct larkd_options {
    std::string socket_path;   // -s, else LARKD_SOCKET, else the default path
    std::string data_file;     // -f; empty keeps the data in memory only
    bool daemon = false;       // -d: detach once the socket accepts connections
};

// Fills options from argv. False (usage already printed) when the command
// line is wrong; help is set when -h asked for the usage text.
bool larkd_parse_options(int argc, char** argv, larkd_options* options, bool* help);
