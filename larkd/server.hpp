// The daemon's event loop: one thread, poll(2) over the listener and every
// client. Requests are answered in order per client, each reply frame queued
// whole; with a data file, changes are saved before their replies go out.
#pragma once

#include <string>

#include "larkd/keys.hpp"

// Serves until SIGTERM or SIGINT. Returns the exit status.
int larkd_serve(int listen_fd, larkd_keys& keys, const std::string& data_file);
