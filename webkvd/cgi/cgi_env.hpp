// The meta-variables a CGI program is started with.
#pragma once

#include <string>
#include <vector>

#include "webkvd/cgi/cgi.hpp"
#include "webkvd/net/connection.hpp"

namespace cgi {

// "NAME=value" strings: the CGI/1.1 variables of the request, HTTP_* for its
// header fields and PATH.  Fields whose names would not map back to one
// header (names with '_' or other odd characters) are left out, and so is
// Proxy, which programs would take for their own proxy setting.
std::vector<std::string> make_environment(const net::connection& c, const net::http_message& m, const script& s,
                                          bool is_https);

inline constexpr const char* server_software = "webkvd";
inline constexpr const char* default_path = "/usr/local/bin:/usr/bin:/bin";

}  // namespace cgi
