// The upload endpoint: each part of a multipart post to "/_upload..." is
// stored as a file named after its form field in the upload directory,
// streamed to disk as it arrives, and answered with its path and length.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

#include "webkvd/net/connection.hpp"
#include "webkvd/router/client_state.hpp"

// Every event of a connection whose request went to the upload endpoint
// (URI beginning with "/_upload" in any letter case, or any later request of
// a connection that once went there). Called by the router with:
//   EV_HTTP_HEAD (ev_data http_message*): decide streaming here: if the URI begins with "/_upload"
//     (byte comparison) and Content-Type is >= 9 chars and begins with "multipart" (case-sensitive),
//     take the boundary (none or >= 100 chars: c.close_now(), no reply) and call c.stream_body();
//     otherwise reply 400 with Content-Length 0 and c.close_after_send().
//   EV_HTTP_BODY (std::string_view*), EV_HTTP_END (http_message*), EV_HTTP_REQUEST (a whole,
//     non-streamed request: ignore, the 400 was already sent), EV_CLOSE (deliver a part end for a part
//     in progress, free everything).
void upload_event(client_state& cs, net::connection& c, int ev, void* ev_data);

// The file of the part being stored; held by client_state::upload.
struct upload_state {
    std::FILE* file = nullptr;
    std::string var_name;  // the part's form field name, for the reply
};

// Part events, as the multipart stream delivers them to upload_handler.
enum upload_part_event : int {
    EV_HTTP_PART_BEGIN = 1000,
    EV_HTTP_PART_DATA,
    EV_HTTP_PART_END,
};

struct http_multipart_part {
    std::string_view var_name;  // PART_BEGIN: the form field's name (empty when none)
    std::string_view data;      // PART_DATA: the next piece of the part's content
};

// Stores one part: opens the file at PART_BEGIN, writes each PART_DATA piece,
// and at PART_END replies with the path and length.  Every reply closes the
// connection once sent.  Events that find no upload state touch no file.
void upload_handler(client_state& cs, net::connection& c, int ev, const http_multipart_part& part);

// Exact replies of the endpoint.
inline constexpr const char* upload_open_failed = "HTTP/1.1 500 Failed to open a file\r\nContent-Length: 0\r\n\r\n";
inline constexpr const char* upload_write_failed = "HTTP/1.1 500 Failed to write to a file\r\nContent-Length: 0\r\n\r\n";
inline constexpr const char* upload_stored_reply =
    "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
    "{\"filepath\":\"%s/%s\", \"filelength\":%ld}\n";
// A request the endpoint cannot take: not a multipart post, or a body that
// holds no part or breaks the multipart format before any part was answered.
inline constexpr const char* upload_bad_request =
    "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
