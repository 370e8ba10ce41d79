// CGI/1.1 programs under the web root: started in their own directory with
// the request's meta-variables and body, their output read by the event loop
// and turned into the reply.
#pragma once

#include <string>
#include <string_view>

#include "webkvd/net/connection.hpp"

namespace cgi {

// The program a request names, as the file server found it.
struct script {
    std::string path;           // real path of the program file
    std::string script_name;    // request path of the program, as the client sees it
    std::string path_info;      // request path after the program's name; empty when none
    std::string document_root;  // real path of the web root
};

// Names run as programs: "*.cgi" and "*.php".
bool is_program_name(std::string_view name);

// Starts the program and answers the request from its output.  The reply
// ends with the connection closing; until then cgi_owns_reply(c) is true.
void run(net::connection& c, const net::http_message& m, const script& s, bool is_https);

// Programs running or exited but not yet reaped.
std::size_t running_programs();

}  // namespace cgi

// True while a program is producing the reply of c: whoever closes
// connections after local replies must leave c alone, the runner closes it.
bool cgi_owns_reply(const net::connection& c);

// The connection c is closing (its close event): a program still answering
// on it is killed and everything it held is freed.  Harmless for any other
// connection.
void cgi_connection_closed(net::connection& c);
