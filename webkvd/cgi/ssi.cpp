#include "webkvd/cgi/ssi.hpp"

#include "webkvd/files/reply.hpp"

namespace cgi {

namespace {
bool has_suffix(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() && net::iequals(name.substr(name.size() - suffix.size()), suffix);
}
}  // namespace

bool is_include_page_name(std::string_view name) { return has_suffix(name, ".shtml") || has_suffix(name, ".shtm"); }

void serve_include_page(net::connection& c, const net::http_message& m, files::open_file&, std::string_view) {
    files::send_error(c, files::status_500, files::is_head_request(m));
}

}  // namespace cgi
