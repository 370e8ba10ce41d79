// The daemon's data and what each request does to it: one request payload
// in, its reply frame(s) appended to the client's output.
#pragma once

#include <map>
#include <string>
#include <string_view>

using larkd_keys = std::map<std::string, std::string, std::less<>>;

// Appends the framed reply to out; sets *changed when the data changed.
void larkd_handle_request(larkd_keys& keys, std::string_view payload, std::string& out, bool* changed);

// Appends one frame holding payload.
void larkd_append_frame(std::string& out, std::string_view payload);
