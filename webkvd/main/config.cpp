// Process-wide settings and the notice-line writer.
#include "webkvd/main/config.hpp"

#include <syslog.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>

server_config config;
files::serve_opts www_opts;
files::serve_opts upload_opts;
int backend_keepalive = 1;
std::FILE* log_stream = stdout;
volatile std::sig_atomic_t stop_requested = 0;

namespace {

constexpr const char* scripts_dir_env = "WEBKVD_SCRIPTS_DIR";
constexpr const char* upload_dir_env = "WEBKVD_UPLOAD_DIR";
constexpr const char* default_scripts_dir = "/quillmere/scripts";
constexpr const char* default_upload_dir = "/tmp/upload/";

// Copies src into a fixed field, cut to the field size minus one.
template <std::size_t N>
void set_field(char (&field)[N], const char* src) {
    std::strncpy(field, src, N - 1);
    field[N - 1] = '\0';
}

std::string env_or(const char* name, const char* fallback) {
    const char* v = std::getenv(name);
    return (v != nullptr && *v != '\0') ? std::string(v) : std::string(fallback);
}

}  // namespace

const std::string& scripts_dir() {
    static const std::string dir = env_or(scripts_dir_env, default_scripts_dir);
    return dir;
}

const std::string& upload_dir() {
    // Files are located by appending a name, so the directory always ends in
    // a slash whatever the environment gave.
    static const std::string dir = [] {
        std::string d = env_or(upload_dir_env, default_upload_dir);
        if (d.back() != '/') d.push_back('/');
        return d;
    }();
    return dir;
}

void config_defaults() {
    std::memset(&config, 0, sizeof config);
    set_field(config.www_root, default_www_root);
    set_field(config.cert, default_cert);
    config.log_level = default_log_level;
    backend_keepalive = 1;
    log_stream = stdout;

    www_opts = files::serve_opts{};
    www_opts.document_root = config.www_root;

    upload_opts = files::serve_opts{};
    upload_opts.document_root = upload_dir();
    upload_opts.enable_directory_listing = false;
    upload_opts.run_programs = false;
}

void config_options_read() { www_opts.document_root = config.www_root; }

void notice(int threshold, const char* fmt, ...) {
    if (config.log_level > threshold) return;
    std::va_list ap;
    va_start(ap, fmt);
    if (config.daemon_mode) {
        vsyslog(LOG_NOTICE, fmt, ap);
    } else {
        // Flushed at once: under a service manager or a pipe the lines would
        // otherwise sit in the buffer until much later.
        std::vfprintf(stdout, fmt, ap);
        std::fflush(stdout);
    }
    va_end(ap);
}
