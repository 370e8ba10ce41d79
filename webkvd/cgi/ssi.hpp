// Pages with include directives: <!--#include virtual="..." --> (a path
// from the web root) and <!--#include file="..." --> (a path from the
// including page's directory), nested a few levels, never outside the root.
#pragma once

#include <string>
#include <string_view>

#include "webkvd/files/path.hpp"
#include "webkvd/net/connection.hpp"

namespace cgi {

// Names expanded for includes: "*.shtml" and "*.shtm".
bool is_include_page_name(std::string_view name);

// Answers the request with the page f (under real_root) expanded.
void serve_include_page(net::connection& c, const net::http_message& m, files::open_file& f,
                        std::string_view real_root);

}  // namespace cgi
