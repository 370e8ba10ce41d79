#include "webkvd/files/mime.hpp"

#include <array>

#include "webkvd/net/connection.hpp"

namespace files {

namespace {

struct mime_entry {
    std::string_view suffix;
    std::string_view type;
};

// Entries the device configures: script output and logs are fetched by its
// pages, so text and shell files download as bytes and logs render as HTML.
constexpr std::array device_types{
    mime_entry{".txt", "application/octet-stream"},
    mime_entry{".sh", "application/octet-stream"},
    mime_entry{".log", "text/html; charset=utf-8"},
};

constexpr std::array common_types{
    mime_entry{".html", "text/html"},
    mime_entry{".htm", "text/html"},
    mime_entry{".shtml", "text/html"},
    mime_entry{".shtm", "text/html"},
    mime_entry{".css", "text/css"},
    mime_entry{".js", "application/javascript"},
    mime_entry{".mjs", "application/javascript"},
    mime_entry{".json", "application/json"},
    mime_entry{".map", "application/json"},
    mime_entry{".xml", "text/xml"},
    mime_entry{".csv", "text/csv"},
    mime_entry{".md", "text/markdown"},
    mime_entry{".ico", "image/x-icon"},
    mime_entry{".png", "image/png"},
    mime_entry{".jpg", "image/jpeg"},
    mime_entry{".jpeg", "image/jpeg"},
    mime_entry{".gif", "image/gif"},
    mime_entry{".bmp", "image/bmp"},
    mime_entry{".svg", "image/svg+xml"},
    mime_entry{".webp", "image/webp"},
    mime_entry{".woff", "font/woff"},
    mime_entry{".woff2", "font/woff2"},
    mime_entry{".ttf", "font/ttf"},
    mime_entry{".otf", "font/otf"},
    mime_entry{".wasm", "application/wasm"},
    mime_entry{".pdf", "application/pdf"},
    mime_entry{".zip", "application/zip"},
    mime_entry{".gz", "application/gzip"},
    mime_entry{".tgz", "application/gzip"},
    mime_entry{".tar", "application/x-tar"},
    mime_entry{".bin", "application/octet-stream"},
    mime_entry{".img", "application/octet-stream"},
    mime_entry{".mp3", "audio/mpeg"},
    mime_entry{".wav", "audio/wav"},
    mime_entry{".mp4", "video/mp4"},
    mime_entry{".webm", "video/webm"},
};

bool has_suffix(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() && net::iequals(name.substr(name.size() - suffix.size()), suffix);
}

}  // namespace

std::string_view mime_type(std::string_view file_name) {
    for (const auto& e : device_types)
        if (has_suffix(file_name, e.suffix)) return e.type;
    for (const auto& e : common_types)
        if (has_suffix(file_name, e.suffix)) return e.type;
    return default_mime_type;
}

}  // namespace files
