#include "webkvd/files/validators.hpp"

#include <cstdio>

#include "webkvd/files/http_date.hpp"

namespace files {

namespace {

constexpr std::size_t etag_bytes = 80;
constexpr std::string_view weak_prefix = "W/";

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.remove_suffix(1);
    return s;
}

std::string_view opaque(std::string_view tag) {
    if (tag.substr(0, weak_prefix.size()) == weak_prefix) tag.remove_prefix(weak_prefix.size());
    return tag;
}

// Weak comparison against each member of a comma-separated list, or "*".
bool list_matches(std::string_view list, std::string_view etag) {
    if (trim(list) == "*") return true;
    while (!list.empty()) {
        std::size_t comma = list.find(',');
        std::string_view item = trim(list.substr(0, comma));
        if (!item.empty() && opaque(item) == opaque(etag)) return true;
        if (comma == std::string_view::npos) break;
        list.remove_prefix(comma + 1);
    }
    return false;
}

}  // namespace

std::string make_etag(const struct stat& st) {
    char buf[etag_bytes];
    std::snprintf(buf, sizeof buf, "\"%llx-%llx-%llx.%lx\"", static_cast<unsigned long long>(st.st_ino),
                  static_cast<unsigned long long>(st.st_size), static_cast<unsigned long long>(st.st_mtim.tv_sec),
                  static_cast<unsigned long>(st.st_mtim.tv_nsec));
    return buf;
}

bool is_not_modified(const net::http_message& m, std::string_view etag, std::time_t mtime) {
    if (const auto* inm = m.header("If-None-Match")) return list_matches(inm->value, etag);
    if (const auto* ims = m.header("If-Modified-Since")) {
        auto since = parse_http_date(trim(ims->value));
        return since && mtime <= *since;
    }
    return false;
}

bool if_range_allows(const net::http_message& m, std::string_view etag, std::time_t mtime) {
    const auto* ir = m.header("If-Range");
    if (!ir) return true;
    std::string_view v = trim(ir->value);
    if (!v.empty() && (v.front() == '"' || v.substr(0, weak_prefix.size()) == weak_prefix))
        return v == etag;  // strong comparison; a weak tag never matches
    auto date = parse_http_date(v);
    return date && *date == mtime;
}

}  // namespace files
