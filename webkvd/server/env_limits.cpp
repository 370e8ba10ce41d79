#include "webkvd/server/env_limits.hpp"

#include <cerrno>
#include <cstdlib>
#include <limits>

namespace {

// A whole positive decimal number that fits max, or 0.
unsigned long long positive_number(const char* text, unsigned long long max) {
    if (text == nullptr || *text < '0' || *text > '9') return 0;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return 0;
    return v;
}

}  // namespace

void env_limits_apply(net::loop::limits& l, const char* head_timeout, const char* max_connections) {
    if (auto v = positive_number(head_timeout, std::numeric_limits<unsigned>::max()); v > 0)
        l.head_timeout_s = static_cast<unsigned>(v);
    if (auto v = positive_number(max_connections, std::numeric_limits<std::size_t>::max()); v > 0)
        l.max_connections = static_cast<std::size_t>(v);
}

void env_limits_from_environment() {
    env_limits_apply(net::loop::settings(), std::getenv(head_timeout_env), std::getenv(max_connections_env));
}
