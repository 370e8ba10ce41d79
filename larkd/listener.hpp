// The daemon's listening socket.
#pragma once

#include <string>

// Listens on path: a stale socket file left by a daemon that is gone is
// removed first; a path a live daemon answers on, or a file that is not a
// socket, is refused. Returns the non-blocking descriptor, or -1 with a
// message in *error.
int larkd_listen(const std::string& path, std::string* error);

// Removes the socket file if it is still the one this process created.
void larkd_unlink_own_socket(const std::string& path);
