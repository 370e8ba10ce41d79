// Process-wide settings of webkvd: the option values and the fixed paths.
#pragma once

#include <csignal>
#include <cstdio>
#include <string>

#include "webkvd/files/serve.hpp"

struct server_config {
    int supervisor_pid;   // supervisor's pid; 0 in the foreground
    int daemon_mode;      // -d
    int log_level;        // -l; smaller prints more
    char http_port[64];   // -p; empty: no HTTP listener
    char https_port[64];  // -s; empty: no HTTPS listener
    char www_root[128];   // -w
    char reverse_host[128];  // -r; empty: no backend route
    char cert[256];       // -c
};

extern server_config config;
extern files::serve_opts www_opts;     // web root
extern files::serve_opts upload_opts;  // upload directory, no listings, never run
extern int backend_keepalive;
extern std::FILE* log_stream;          // where log_line writes
extern volatile std::sig_atomic_t stop_requested;

inline constexpr const char* default_www_root = "/quillmere/webs/";
inline constexpr const char* default_cert = "/quillmere/lib/ssl.pem";
inline constexpr int default_log_level = 3;

// The directory scripts are looked up in ("/quillmere/scripts" unless
// WEBKVD_SCRIPTS_DIR moves it) and the upload directory ("/tmp/upload/"
// unless WEBKVD_UPLOAD_DIR moves it; always ends in "/").
const std::string& scripts_dir();
const std::string& upload_dir();

// Zero-fills config and sets every default (step 1 of start-up).
void config_defaults();

// Settings that follow the options: www_opts serves the www_root that -w set.
void config_options_read();

// Notice line: written when log_level <= threshold; to syslog at LOG_NOTICE
// in daemon mode, else to standard output (flushed).
void notice(int threshold, const char* fmt, ...) __attribute__((format(printf, 2, 3)));
