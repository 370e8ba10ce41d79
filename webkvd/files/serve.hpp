// Static file server for the web root and the upload directory.
#pragma once

#include <string>
#include <string_view>

#include "webkvd/net/connection.hpp"

namespace files {

struct serve_opts {
    std::string document_root;          // directory served; never left
    bool enable_directory_listing = true;
    bool run_programs = true;           // CGI and server-side includes; off for uploads
};

// Answers the request m for the path uri (raw, not decoded; it may differ
// from m.uri after a route prefix was cut) from opts.document_root: GET and
// HEAD, index files, directory redirects and listings, a single Range,
// Last-Modified / ETag validation, 404 / 403 / 405.  The caller closes the
// connection after the reply.
void serve_file(net::connection& c, const net::http_message& m, std::string_view uri,
                const serve_opts& opts, bool is_https);

}  // namespace files
