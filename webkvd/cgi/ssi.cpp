#include "webkvd/cgi/ssi.hpp"

#include <unistd.h>

#include <cerrno>

#include "webkvd/files/mime.hpp"
#include "webkvd/files/reply.hpp"

namespace cgi {

namespace {

// The page itself is level 0; deeper includes are refused, which also ends
// a page that includes itself.
constexpr int max_include_depth = 4;
constexpr std::size_t max_file_bytes = 1024 * 1024;
// The expanded page is built in memory; includes must not multiply it
// beyond this.
constexpr std::size_t max_page_bytes = 4 * 1024 * 1024;
constexpr std::size_t read_piece_bytes = 16 * 1024;

constexpr std::string_view directive_open = "<!--#";
constexpr std::string_view directive_close = "-->";
constexpr std::string_view include_word = "include";
constexpr std::string_view virtual_attr = "virtual";
constexpr std::string_view file_attr = "file";
// Put in place of a directive that is refused or fails; invisible in the page.
constexpr std::string_view include_failed_text = "<!-- include failed -->";

bool has_suffix(std::string_view name, std::string_view suffix) {
    return name.size() >= suffix.size() && net::iequals(name.substr(name.size() - suffix.size()), suffix);
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r' || s.front() == '\n'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r' || s.back() == '\n'))
        s.remove_suffix(1);
    return s;
}

bool read_all(int fd, std::string& out) {
    out.clear();
    char piece[read_piece_bytes];
    for (;;) {
        ssize_t n = ::read(fd, piece, sizeof piece);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        if (out.size() + static_cast<std::size_t>(n) > max_file_bytes) return false;
        out.append(piece, static_cast<std::size_t>(n));
    }
}

std::string directory_of(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? std::string() : path.substr(0, slash);
}

// include virtual="..." or file="..." -> which attribute and its value.
bool parse_include(std::string_view d, std::string_view& attr, std::string_view& value) {
    d = trim(d);
    if (d.substr(0, include_word.size()) != include_word) return false;
    d = trim(d.substr(include_word.size()));
    std::size_t eq = d.find('=');
    if (eq == std::string_view::npos) return false;
    attr = trim(d.substr(0, eq));
    d = trim(d.substr(eq + 1));
    if (d.size() < 2 || d.front() != '"') return false;
    std::size_t close = d.find('"', 1);
    if (close == std::string_view::npos || !trim(d.substr(close + 1)).empty()) return false;
    value = d.substr(1, close - 1);
    return attr == virtual_attr || attr == file_attr;
}

struct expander {
    std::string_view real_root;
    std::string out;
    bool too_big = false;

    void append(std::string_view s) {
        if (out.size() + s.size() > max_page_bytes) {
            too_big = true;
            return;
        }
        out.append(s);
    }

    // The file an include names, as a path to check against the root.
    bool target_path(std::string_view attr, std::string_view value, const std::string& including,
                     std::string& path) {
        if (value.empty()) return false;
        if (attr == virtual_attr) {
            std::string url(value.front() == '/' ? "" : "/");
            url.append(value);
            std::string decoded;
            if (files::decode_path(url, decoded) != files::path_status::ok) return false;
            path = real_root == "/" ? decoded : std::string(real_root) + decoded;
            return true;
        }
        if (value.front() == '/') return false;  // file= is always relative to the page
        path = directory_of(including) + "/" + std::string(value);
        return true;
    }

    void include(std::string_view attr, std::string_view value, const std::string& including, int depth) {
        std::string path;
        files::open_file f;
        std::string text;
        if (depth >= max_include_depth || !target_path(attr, value, including, path) ||
            files::open_within(real_root, path, f) != 0 || !S_ISREG(f.info().st_mode) || !read_all(f.fd(), text)) {
            append(include_failed_text);
            return;
        }
        if (is_include_page_name(f.real_path()))
            expand(text, f.real_path(), depth + 1);
        else
            append(text);
    }

    void expand(std::string_view text, const std::string& page_path, int depth) {
        while (!text.empty() && !too_big) {
            std::size_t start = text.find(directive_open);
            if (start == std::string_view::npos) break;
            std::size_t end = text.find(directive_close, start + directive_open.size());
            if (end == std::string_view::npos) break;
            append(text.substr(0, start));
            std::string_view attr, value;
            if (parse_include(text.substr(start + directive_open.size(), end - start - directive_open.size()), attr,
                              value))
                include(attr, value, page_path, depth);
            else
                append(include_failed_text);  // unknown directives (exec among them) do nothing
            text.remove_prefix(end + directive_close.size());
        }
        append(text);
    }
};

}  // namespace

bool is_include_page_name(std::string_view name) { return has_suffix(name, ".shtml") || has_suffix(name, ".shtm"); }

void serve_include_page(net::connection& c, const net::http_message& m, files::open_file& f,
                        std::string_view real_root) {
    bool head_only = files::is_head_request(m);
    std::string text;
    if (!read_all(f.fd(), text)) {
        files::send_error(c, files::status_500, head_only);
        return;
    }
    expander e{real_root, {}, false};
    e.expand(text, f.real_path(), 0);
    if (e.too_big) {
        files::send_error(c, files::status_500, head_only);
        return;
    }
    std::string reply = files::make_head(files::status_200, files::mime_type(f.real_path()),
                                         static_cast<std::int64_t>(e.out.size()));
    if (!head_only) reply += e.out;
    c.send(reply);
}

}  // namespace cgi
