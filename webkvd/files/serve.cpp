#include "webkvd/files/serve.hpp"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <vector>

#include "webkvd/cgi/cgi.hpp"
#include "webkvd/cgi/ssi.hpp"
#include "webkvd/files/http_date.hpp"
#include "webkvd/files/listing.hpp"
#include "webkvd/files/mime.hpp"
#include "webkvd/files/path.hpp"
#include "webkvd/files/range.hpp"
#include "webkvd/files/reply.hpp"
#include "webkvd/files/validators.hpp"

namespace files {

namespace {

constexpr std::array<std::string_view, 5> index_names{"index.html", "index.htm", "index.shtml", "index.cgi",
                                                      "index.php"};
constexpr std::string_view listing_type = "text/html; charset=utf-8";
constexpr std::string_view accept_ranges = "Accept-Ranges: bytes\r\n";
constexpr std::string_view last_modified_field = "Last-Modified: ";
constexpr std::string_view etag_field = "ETag: ";
constexpr std::string_view content_range_field = "Content-Range: bytes ";
constexpr std::string_view unsatisfied_range = "*/";  // Content-Range of a 416: "*/<size>"
constexpr std::string_view location_field = "Location: ";
constexpr std::string_view crlf = "\r\n";
// Files up to this size go out in the same write as their head; larger ones
// are queued as file segments and read piece by piece.
constexpr std::uint64_t inline_file_bytes = 64 * 1024;
// Roots resolved so far (the web root and the upload directory, normally).
constexpr std::size_t root_cache_size = 4;

struct root_entry {
    std::string configured;
    std::string real;
};

const std::string& real_root_of(const std::string& document_root) {
    static std::vector<root_entry> cache;
    for (const auto& e : cache)
        if (e.configured == document_root && !e.real.empty()) return e.real;
    if (cache.size() >= root_cache_size) cache.erase(cache.begin());
    cache.push_back({document_root, resolve_root(document_root)});
    return cache.back().real;
}

std::string_view base_name(std::string_view path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

void send_not_found_or_forbidden(net::connection& c, int rc, bool head_only) {
    bool missing = rc == -ENOENT || rc == -ENOTDIR || rc == -ENAMETOOLONG;
    send_error(c, missing ? status_404 : status_403, head_only);
}

std::string validator_fields(const std::string& etag, std::time_t mtime) {
    std::string f(last_modified_field);
    f += format_http_date(mtime);
    f += crlf;
    f += etag_field;
    f += etag;
    f += crlf;
    return f;
}

// GET or HEAD of a regular file: validators, a single range, the bytes.
void send_plain_file(net::connection& c, const net::http_message& m, open_file& f) {
    bool head_only = is_head_request(m);
    if (!is_get_or_head(m)) {
        send_error(c, status_405, head_only, allow_static);
        return;
    }
    const struct stat& st = f.info();
    const auto size = static_cast<std::uint64_t>(st.st_size);
    const std::string etag = make_etag(st);
    std::string extra = validator_fields(etag, st.st_mtime);
    if (is_not_modified(m, etag, st.st_mtime)) {
        c.send(make_head(status_304, {}, -1, extra));
        return;
    }
    extra += accept_ranges;
    std::string_view type = mime_type(base_name(f.real_path()));
    byte_range r{0, size == 0 ? 0 : size - 1};
    const status* st_line = &status_200;
    std::uint64_t length = size;
    if (const auto* rh = m.header("Range"); rh && if_range_allows(m, etag, st.st_mtime)) {
        switch (parse_range(rh->value, size, r)) {
        case range_kind::whole: break;
        case range_kind::unsatisfiable:
            extra += content_range_field;
            extra += unsatisfied_range;
            extra += std::to_string(size);
            extra += crlf;
            send_error(c, status_416, head_only, extra);
            return;
        case range_kind::partial:
            st_line = &status_206;
            length = r.length();
            extra += content_range_field;
            extra += std::to_string(r.first) + "-" + std::to_string(r.last) + "/" + std::to_string(size);
            extra += crlf;
            break;
        }
    }
    std::string head = make_head(*st_line, type, static_cast<std::int64_t>(length), extra);
    if (head_only || length == 0) {
        c.send(head);
        return;
    }
    if (length <= inline_file_bytes) {
        std::string out = std::move(head);
        std::size_t head_len = out.size();
        out.resize(head_len + length);
        std::size_t got = 0;
        while (got < length) {
            ssize_t n = ::pread(f.fd(), out.data() + head_len + got, length - got,
                                static_cast<off_t>(r.first + got));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        if (got != length) {
            // The file shrank or failed under us: a short body would pass for
            // a whole one, so answer with an error instead.
            send_error(c, status_500, false);
            return;
        }
        c.send(out);
        return;
    }
    c.send(head);
    c.send_file(f.release(), r.first, length);
}

// What one request is served with.
struct request_ctx {
    const net::http_message& m;
    const serve_opts& opts;
    std::string_view real_root;
    std::string_view route_prefix;  // the part of m.uri the router cut off ("/_root"), or empty
    bool is_https;
};

// A regular file: a program, a page with includes, or plain bytes.
void serve_regular(net::connection& c, const request_ctx& rq, open_file& f, const std::string& request_path,
                   std::string path_info) {
    std::string_view name = base_name(f.real_path());
    if (rq.opts.run_programs && cgi::is_program_name(name)) {
        cgi::script s{f.real_path(), std::string(rq.route_prefix) + request_path, std::move(path_info),
                      std::string(rq.real_root)};
        cgi::run(c, rq.m, s, rq.is_https);
        return;
    }
    if (rq.opts.run_programs && cgi::is_include_page_name(name) && is_get_or_head(rq.m)) {
        cgi::serve_include_page(c, rq.m, f, rq.real_root);
        return;
    }
    send_plain_file(c, rq.m, f);
}

// A path that runs into a file part-way ("/prog.cgi/more"): the program with
// the rest as its PATH_INFO.  False when no program is found on the way.
bool try_program_with_path_info(net::connection& c, const request_ctx& rq, const std::string& path) {
    for (std::size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
        std::string head = path.substr(0, slash);
        if (!cgi::is_program_name(head)) continue;
        open_file f;
        std::string fs_path = rq.real_root == "/" ? head : std::string(rq.real_root) + head;
        if (open_within(rq.real_root, fs_path, f) != 0 || !S_ISREG(f.info().st_mode)) return false;
        serve_regular(c, rq, f, head, path.substr(slash));
        return true;
    }
    return false;
}

void serve_directory(net::connection& c, const request_ctx& rq, open_file& dir, const std::string& path) {
    const net::http_message& m = rq.m;
    bool head_only = is_head_request(m);
    if (path.back() != '/') {
        std::string location(location_field);
        location += m.uri;
        location += '/';
        if (m.has_query) {
            location += '?';
            location += m.query;
        }
        location += crlf;
        c.send(make_head(status_301, {}, 0, location));
        return;
    }
    for (std::string_view index : index_names) {
        open_file f;
        std::string candidate = dir.real_path() + (dir.real_path() == "/" ? "" : "/") + std::string(index);
        if (open_within(rq.real_root, candidate, f) == 0 && S_ISREG(f.info().st_mode)) {
            serve_regular(c, rq, f, path + std::string(index), {});
            return;
        }
    }
    if (!rq.opts.enable_directory_listing) {
        send_error(c, status_403, head_only);
        return;
    }
    if (!is_get_or_head(m)) {
        send_error(c, status_405, head_only, allow_static);
        return;
    }
    std::vector<dir_entry> entries;
    if (!read_directory(dir.release(), entries)) {
        send_error(c, status_403, head_only);
        return;
    }
    // The page shows the path the client asked for, route prefix included.
    std::string shown(rq.route_prefix);
    shown += path;
    std::string page = listing_html(shown, entries, path != "/");
    std::string reply = make_head(status_200, listing_type, static_cast<std::int64_t>(page.size()));
    if (!head_only) reply += page;
    c.send(reply);
}

}  // namespace

void serve_file(net::connection& c, const net::http_message& m, std::string_view uri, const serve_opts& opts,
                bool is_https) {
    bool head_only = is_head_request(m);
    std::string path;
    switch (decode_path(uri, path)) {
    case path_status::ok: break;
    case path_status::malformed: send_error(c, status_400, head_only); return;
    case path_status::refused: send_error(c, status_403, head_only); return;
    }
    const std::string& real_root = real_root_of(opts.document_root);
    if (real_root.empty()) {
        send_error(c, status_404, head_only);
        return;
    }
    // real_root has no trailing '/' (unless it is "/") and path begins with one.
    std::string fs_path = real_root == "/" ? path : real_root + path;
    // The router cut its prefix off the front of m.uri, so uri is its tail.
    std::string_view prefix = m.uri.size() >= uri.size() ? m.uri.substr(0, m.uri.size() - uri.size()) : "";
    const request_ctx rq{m, opts, real_root, prefix, is_https};
    open_file f;
    int rc = open_within(real_root, fs_path, f);
    if (rc == -ENOTDIR && opts.run_programs && try_program_with_path_info(c, rq, path)) return;
    if (rc != 0) {
        send_not_found_or_forbidden(c, rc, head_only);
        return;
    }
    if (S_ISDIR(f.info().st_mode)) {
        serve_directory(c, rq, f, path);
        return;
    }
    if (!S_ISREG(f.info().st_mode)) {
        send_error(c, status_403, head_only);
        return;
    }
    serve_regular(c, rq, f, path, {});
}

}  // namespace files
