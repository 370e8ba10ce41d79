// HTML listing of a directory under the web root.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>
#include <vector>

namespace files {

struct dir_entry {
    std::string name;
    bool is_dir = false;
    std::uint64_t size = 0;
    std::time_t mtime = 0;
};

// Reads the entries of the open directory dir_fd (takes ownership of it),
// skipping "." and "..", sorted by name.  False when it cannot be read.
bool read_directory(int dir_fd, std::vector<dir_entry>& out);

// The page for shown_path (the request path as the client sees it,
// decoded): a link to the parent when there is one, then one row per entry.  Names are escaped for
// HTML and %-encoded in the links, so no file name can inject markup.
std::string listing_html(std::string_view shown_path, const std::vector<dir_entry>& entries, bool has_parent);

// Escapes &, <, >, " and ' for HTML text and attributes.
std::string html_escape(std::string_view s);

}  // namespace files
