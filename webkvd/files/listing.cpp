#include "webkvd/files/listing.hpp"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "webkvd/files/http_date.hpp"

namespace files {

namespace {

constexpr const char* page_head_fmt =
    "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>Index of %s</title></head>\n"
    "<body><h1>Index of %s</h1>\n<table>\n<tr><th>Name</th><th>Size</th><th>Modified</th></tr>\n";
constexpr const char* parent_row = "<tr><td><a href=\"../\">../</a></td><td>-</td><td></td></tr>\n";
constexpr const char* row_fmt = "<tr><td><a href=\"%s\">%s</a></td><td>%s</td><td>%s</td></tr>\n";
constexpr const char* page_tail = "</table>\n</body></html>\n";
constexpr const char* dir_size_text = "-";
constexpr std::size_t size_text_bytes = 24;
constexpr const char* hex_digits = "0123456789ABCDEF";

std::string format(const char* fmt, std::string_view a, std::string_view b, std::string_view c = {},
                   std::string_view d = {}) {
    std::string sa(a), sb(b), sc(c), sd(d);
    int n = std::snprintf(nullptr, 0, fmt, sa.c_str(), sb.c_str(), sc.c_str(), sd.c_str());
    if (n < 0) return {};
    std::string out(static_cast<std::size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), fmt, sa.c_str(), sb.c_str(), sc.c_str(), sd.c_str());
    out.resize(static_cast<std::size_t>(n));
    return out;
}

bool is_unreserved(unsigned char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z') || (ch >= '0' && ch <= '9') || ch == '-' ||
           ch == '.' || ch == '_' || ch == '~';
}

std::string url_encode(std::string_view s) {
    std::string out;
    for (char c : s) {
        auto ch = static_cast<unsigned char>(c);
        if (is_unreserved(ch)) {
            out.push_back(c);
        } else {
            out.push_back('%');
            out.push_back(hex_digits[ch >> 4]);
            out.push_back(hex_digits[ch & 0xF]);
        }
    }
    return out;
}

}  // namespace

std::string html_escape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out.push_back(c);
        }
    }
    return out;
}

bool read_directory(int dir_fd, std::vector<dir_entry>& out) {
    out.clear();
    DIR* dir = ::fdopendir(dir_fd);
    if (!dir) {
        ::close(dir_fd);
        return false;
    }
    while (const dirent* d = ::readdir(dir)) {
        std::string_view name = d->d_name;
        if (name == "." || name == "..") continue;
        dir_entry e;
        e.name = name;
        struct stat st {};
        if (::fstatat(::dirfd(dir), d->d_name, &st, 0) == 0) {
            e.is_dir = S_ISDIR(st.st_mode);
            e.size = static_cast<std::uint64_t>(st.st_size);
            e.mtime = st.st_mtime;
        }
        out.push_back(std::move(e));
    }
    ::closedir(dir);
    std::sort(out.begin(), out.end(), [](const dir_entry& a, const dir_entry& b) { return a.name < b.name; });
    return true;
}

std::string listing_html(std::string_view shown_path, const std::vector<dir_entry>& entries, bool has_parent) {
    std::string title = html_escape(shown_path);
    std::string page = format(page_head_fmt, title, title);
    if (has_parent) page += parent_row;
    for (const auto& e : entries) {
        std::string shown = e.is_dir ? e.name + "/" : e.name;
        std::string href = url_encode(e.name) + (e.is_dir ? "/" : "");
        char size[size_text_bytes];
        if (e.is_dir)
            std::snprintf(size, sizeof size, "%s", dir_size_text);
        else
            std::snprintf(size, sizeof size, "%llu", static_cast<unsigned long long>(e.size));
        page += format(row_fmt, href, html_escape(shown), size, format_http_date(e.mtime));
    }
    page += page_tail;
    return page;
}

}  // namespace files
