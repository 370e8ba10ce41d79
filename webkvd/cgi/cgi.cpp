#include "webkvd/cgi/cgi.hpp"

#include "webkvd/files/reply.hpp"

namespace cgi {

namespace {
bool has_suffix(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() && net::iequals(name.substr(name.size() - suffix.size()), suffix);
}
}  // namespace

bool is_program_name(std::string_view name) { return has_suffix(name, ".cgi") || has_suffix(name, ".php"); }

void run(net::connection& c, const net::http_message& m, const script&, bool) {
    files::send_error(c, files::status_500, files::is_head_request(m));
    c.close_after_send();
}

}  // namespace cgi

bool cgi_owns_reply(const net::connection&) { return false; }

void cgi_connection_closed(net::connection&) {}
