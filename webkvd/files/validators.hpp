// Validators of a served file and the conditional requests that use them.
#pragma once

#include <sys/stat.h>

#include <ctime>
#include <string>
#include <string_view>

#include "webkvd/net/connection.hpp"

namespace files {

// A strong entity tag from the file's identity, size and change time, so a
// file rewritten within the same second still gets a new tag.
std::string make_etag(const struct stat& st);

// True when the request's If-None-Match (or, without it, If-Modified-Since)
// says the client's copy is current, so a 304 answers it.
bool is_not_modified(const net::http_message& m, std::string_view etag, std::time_t mtime);

// True when a Range may be honoured: no If-Range, or an If-Range naming the
// current tag or the current Last-Modified time.
bool if_range_allows(const net::http_message& m, std::string_view etag, std::time_t mtime);

}  // namespace files
