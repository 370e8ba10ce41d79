// The running server: listeners, set-up and the event loop.
#pragma once

#include "webkvd/net/connection.hpp"

// Sets up the server from config and runs the event loop forever.  A set-up
// failure writes one notice line, tells the supervisor and exits with 1.
[[noreturn]] void run_server();

// In a server child of a daemon-mode supervisor: asks the supervisor to stop
// restarting (SIGUSR1).  Does nothing in the foreground.
void notify_supervisor();

// Handlers of the HTTP and HTTPS listeners; accepted connections inherit them.
void plain_event_handler(net::connection& c, int ev, void* ev_data);
void tls_event_handler(net::connection& c, int ev, void* ev_data);

// Start-up and set-up failure lines.
inline constexpr const char* http_on_format = "Http on addr %s\n";
inline constexpr const char* https_on_format = "Https on addr %s\n";
inline constexpr const char* roots_format = "root=%s\nupload=%s\n";
inline constexpr const char* bind_failed_format = "mg_bind(%s) failed\n";
inline constexpr const char* cert_failed_format = "Error loading SSL cert: %s\n";
// Threshold of the start-up lines and the set-up failures.
inline constexpr int startup_notice_level = 3;
