#include "webkvd/cgi/cgi_env.hpp"

#include <cstdlib>
#include <map>

namespace cgi {

namespace {

constexpr std::string_view http_prefix = "HTTP_";
constexpr const char* gateway_interface = "CGI/1.1";
// Interpreters built for CGI refuse to run unless the server says it
// started them on purpose.
constexpr const char* redirect_status = "200";

bool is_plain_field_name(std::string_view name) {
    if (name.empty()) return false;
    for (char ch : name) {
        bool ok = (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-';
        if (!ok) return false;
    }
    return true;
}

std::string env_name(std::string_view field) {
    std::string n(http_prefix);
    for (char ch : field) {
        if (ch == '-')
            n.push_back('_');
        else if (ch >= 'a' && ch <= 'z')
            n.push_back(static_cast<char>(ch - 'a' + 'A'));
        else
            n.push_back(ch);
    }
    return n;
}

std::string host_name(const net::http_message& m) {
    const auto* host = m.header("Host");
    if (!host) return {};
    std::string_view h = host->value;
    if (!h.empty() && h.front() == '[') return std::string(h.substr(0, h.find(']') + 1));
    return std::string(h.substr(0, h.find(':')));
}

}  // namespace

std::vector<std::string> make_environment(const net::connection& c, const net::http_message& m, const script& s,
                                          bool is_https) {
    std::vector<std::string> env;
    auto add = [&env](std::string_view name, std::string_view value) {
        std::string v(name);
        v.push_back('=');
        v.append(value);
        env.push_back(std::move(v));
    };
    add("GATEWAY_INTERFACE", gateway_interface);
    add("SERVER_SOFTWARE", server_software);
    add("SERVER_PROTOCOL", m.proto);
    add("SERVER_NAME", host_name(m));
    add("SERVER_PORT", std::to_string(c.local_port()));
    add("REQUEST_METHOD", m.method);
    add("REQUEST_URI", m.target);
    add("QUERY_STRING", m.query);
    add("SCRIPT_NAME", s.script_name);
    add("SCRIPT_FILENAME", s.path);
    if (!s.path_info.empty()) add("PATH_INFO", s.path_info);
    add("DOCUMENT_ROOT", s.document_root);
    add("REMOTE_ADDR", c.peer_address());
    add("REMOTE_PORT", std::to_string(c.peer_port()));
    add("REDIRECT_STATUS", redirect_status);
    if (is_https) add("HTTPS", "on");
    if (!m.body.empty() || m.content_length >= 0) add("CONTENT_LENGTH", std::to_string(m.body.size()));
    if (const auto* ct = m.header("Content-Type")) add("CONTENT_TYPE", ct->value);

    // Repeated fields are joined, as HTTP allows.
    std::map<std::string, std::string> fields;
    for (const auto& h : m.headers) {
        if (!is_plain_field_name(h.name) || net::iequals(h.name, "Content-Type") ||
            net::iequals(h.name, "Content-Length") || net::iequals(h.name, "Proxy"))
            continue;
        std::string name = env_name(h.name);
        auto [it, fresh] = fields.emplace(name, std::string(h.value));
        if (!fresh) {
            it->second.append(", ");
            it->second.append(h.value);
        }
    }
    for (const auto& [name, value] : fields) add(name, value);

    const char* path = std::getenv("PATH");
    add("PATH", path && *path ? path : default_path);
    return env;
}

}  // namespace cgi
