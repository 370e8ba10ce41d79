#include "webkvd/backend/routes.hpp"

#include <array>

#include "webkvd/router/router.hpp"

namespace {

std::array<backend_route, max_backend_routes> routes;
std::size_t route_count = 0;

// Offset of the ':' that separates host and port, or npos.
std::size_t port_separator(std::string_view a) {
    if (!a.empty() && a.front() == '[') {
        std::size_t close = a.find(']');
        if (close == std::string_view::npos) return std::string_view::npos;
        return (close + 1 < a.size() && a[close + 1] == ':') ? close + 1 : std::string_view::npos;
    }
    return a.find(':');
}

}  // namespace

void backend_add_route(const char* path_prefix, const char* path_replacement, const char* address) {
    if (route_count >= routes.size()) return;
    backend_route& r = routes[route_count++];
    r = backend_route{};
    r.path_prefix = path_prefix;
    r.path_replacement = path_replacement;
    r.address = address;
}

backend_route* choose_route(const net::http_message& m) {
    backend_route* best = nullptr;
    for (std::size_t i = 0; i < route_count; ++i) {
        backend_route& r = routes[i];
        if (!uri_has_prefix(m.uri, r.path_prefix.c_str())) continue;
        if (best == nullptr || r.path_prefix.size() > best->path_prefix.size() ||
            (r.path_prefix.size() == best->path_prefix.size() && r.use_count < best->use_count))
            best = &r;
    }
    return best;
}

std::size_t backend_route_count() { return route_count; }
backend_route& backend_route_at(std::size_t i) { return routes[i]; }

void backend_clear_routes() {
    for (std::size_t i = 0; i < route_count; ++i) routes[i] = backend_route{};
    route_count = 0;
}

std::string_view route_host(const backend_route& r) {
    std::string_view a = r.address;
    return a.substr(0, port_separator(a));
}

std::string_view route_port(const backend_route& r) {
    std::string_view a = r.address;
    std::size_t sep = port_separator(a);
    return sep == std::string_view::npos ? std::string_view{} : a.substr(sep + 1);
}
