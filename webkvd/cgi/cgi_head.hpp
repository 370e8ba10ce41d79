// The header block a CGI program writes before its body, and the reply
// head made from it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace cgi {

// Finds the blank line that ends the header block ("\r\n\r\n" or "\n\n",
// programs write either).  Sets head_len (the block without the blank line)
// and body_start; false while the block is incomplete.
bool find_head_end(std::string_view out, std::size_t& head_len, std::size_t& body_start);

struct program_head {
    std::string status_line;      // "HTTP/1.1 200 OK\r\n"
    std::string fields;           // header lines to pass on, each ending in CRLF
    std::int64_t content_length = -1;  // from the program; -1 when it gave none
};

// Reads the block.  False for garbage: a line that is not "Name: value", a
// bad Status or Content-Length, or a block with none of Status,
// Content-Type and Location.  Location without Status means 302.  The
// program's Connection, Keep-Alive and Transfer-Encoding are dropped: the
// server frames the body and closes the connection itself.
bool parse_program_head(std::string_view block, program_head& out);

}  // namespace cgi
