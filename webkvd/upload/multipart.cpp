// The body is searched for the delimiter "\r\n--<boundary>" followed by
// "--" (closing), CRLF, or white space then CRLF.  The body's first boundary
// line has no CRLF before it, so the parser starts as if a CRLF had just been
// read.  A boundary cannot hold CR or LF, so the delimiter's only CR is its
// first byte: after a mismatch no held byte can begin a new match, which
// keeps the search a plain scan for CR.
#include "webkvd/upload/multipart.hpp"

#include <algorithm>
#include <cstring>

#include "webkvd/net/connection.hpp"

namespace {

constexpr std::string_view delimiter_lead = "\r\n--";
constexpr std::string_view body_start = "\r\n";  // stands before the first boundary line
constexpr std::string_view disposition_header = "Content-Disposition";
constexpr std::string_view name_param = "name";
constexpr std::string_view filename_param = "filename";
constexpr std::string_view boundary_param = "boundary";

bool is_blank(char ch) { return ch == ' ' || ch == '\t'; }

std::string_view trim(std::string_view s) {
    while (!s.empty() && is_blank(s.front())) s.remove_prefix(1);
    while (!s.empty() && is_blank(s.back())) s.remove_suffix(1);
    return s;
}

// Calls found(name, value) for each "name=value" parameter after the first
// ';' of a header value.  Quoted values may escape a character with '\'.
template <typename Fn>
void for_each_param(std::string_view v, Fn found) {
    std::size_t i = v.find(';');
    while (i < v.size()) {
        ++i;  // past ';'
        const std::size_t name_end = std::min(v.find_first_of("=;", i), v.size());
        const std::string_view name = trim(v.substr(i, name_end - i));
        i = name_end;
        if (i >= v.size() || v[i] == ';') continue;
        ++i;  // past '='
        while (i < v.size() && is_blank(v[i])) ++i;
        std::string value;
        if (i < v.size() && v[i] == '"') {
            for (++i; i < v.size() && v[i] != '"'; ++i) {
                if (v[i] == '\\' && i + 1 < v.size()) ++i;
                value.push_back(v[i]);
            }
            if (i < v.size()) ++i;  // past the closing quote
        } else {
            while (i < v.size() && v[i] != ';' && !is_blank(v[i])) value.push_back(v[i++]);
        }
        found(name, std::move(value));
        i = std::min(v.find(';', i), v.size());
    }
}

}  // namespace

bool multipart_boundary(std::string_view content_type, std::string& boundary) {
    bool have = false;
    for_each_param(content_type, [&](std::string_view name, std::string value) {
        if (!have && net::iequals(name, boundary_param)) {
            boundary = std::move(value);
            have = true;
        }
    });
    return have && !boundary.empty() && boundary.size() < multipart_boundary_limit &&
           boundary.find_first_of("\r\n") == std::string::npos;
}

multipart_parser::multipart_parser(std::string_view boundary) {
    delimiter_.append(delimiter_lead).append(boundary);
    held_.reserve(delimiter_.size() + 2);
    held_.assign(body_start);
}

void multipart_parser::content_bytes(std::string_view bytes, multipart_sink& sink) {
    // Bytes before the first boundary line (the preamble) are no part's content.
    if (in_part_ && !bytes.empty()) sink.part_data(bytes);
}

void multipart_parser::release(std::size_t count, multipart_sink& sink) {
    content_bytes(std::string_view(held_).substr(0, count), sink);
    held_.erase(0, count);
}

void multipart_parser::boundary_found(state next, multipart_sink& sink) {
    held_.clear();
    if (in_part_) {
        in_part_ = false;
        sink.part_end();
    }
    state_ = next;
    line_.clear();
    head_size_ = 0;
    var_name_.clear();
    file_name_.clear();
}

// Nothing is held: hands on content up to the next CR that could begin the
// delimiter, and holds what matches of it.
std::size_t multipart_parser::scan_content(std::string_view bytes, std::size_t i, multipart_sink& sink) {
    const std::size_t start = i;
    const char* data = bytes.data();
    while (i < bytes.size()) {
        const void* cr = std::memchr(data + i, '\r', bytes.size() - i);
        if (cr == nullptr) break;
        const auto pos = static_cast<std::size_t>(static_cast<const char*>(cr) - data);
        const std::size_t k = std::min(delimiter_.size(), bytes.size() - pos);
        if (std::memcmp(data + pos, delimiter_.data(), k) == 0) {
            content_bytes(bytes.substr(start, pos - start), sink);
            held_.assign(data + pos, k);
            return pos + k;
        }
        i = pos + 1;
    }
    content_bytes(bytes.substr(start), sink);
    return bytes.size();
}

// Something is held: goes on matching with the byte at i.  Returns the
// position to go on from (i itself when that byte must be looked at again).
std::size_t multipart_parser::match_byte(std::string_view bytes, std::size_t i, multipart_sink& sink) {
    const char b = bytes[i];
    const std::size_t m = held_.size();
    const std::size_t d = delimiter_.size();
    if (m < d) {
        if (b == delimiter_[m]) {
            held_.push_back(b);
            return i + 1;
        }
        release(m, sink);
        return i;
    }
    if (m == d) {  // the delimiter itself; what follows decides
        if (b == '-' || b == '\r') {
            held_.push_back(b);
            return i + 1;
        }
        if (is_blank(b)) {
            boundary_found(state::padding, sink);
            return i + 1;
        }
        release(m, sink);
        return i;
    }
    const char first = held_.back();
    if (first == '-' && b == '-') {
        boundary_found(state::done, sink);
        return i + 1;
    }
    if (first == '\r' && b == '\n') {
        boundary_found(state::head, sink);
        return i + 1;
    }
    // Not a boundary line.  A held CR after the delimiter cannot begin
    // another one: b, which is not LF, follows it.
    release(m, sink);
    return i;
}

void multipart_parser::padding_byte(char b) {
    if (state_ == state::padding) {
        if (b == '\r') state_ = state::padding_cr;
        else if (!is_blank(b)) state_ = state::failed;
    } else {
        state_ = b == '\n' ? state::head : state::failed;
    }
}

void multipart_parser::head_line(std::string_view line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) return;
    if (!net::iequals(trim(line.substr(0, colon)), disposition_header)) return;
    bool have_name = false;
    bool have_file = false;
    for_each_param(line.substr(colon + 1), [&](std::string_view name, std::string value) {
        if (!have_name && net::iequals(name, name_param)) {
            var_name_ = std::move(value);
            have_name = true;
        } else if (!have_file && net::iequals(name, filename_param)) {
            file_name_ = std::move(value);
            have_file = true;
        }
    });
}

std::size_t multipart_parser::head_bytes(std::string_view bytes, std::size_t i, multipart_sink& sink) {
    while (i < bytes.size()) {
        const void* lf = std::memchr(bytes.data() + i, '\n', bytes.size() - i);
        const std::size_t end =
            lf == nullptr ? bytes.size() : static_cast<std::size_t>(static_cast<const char*>(lf) - bytes.data()) + 1;
        head_size_ += end - i;
        if (head_size_ > multipart_max_part_head) {
            state_ = state::failed;
            return bytes.size();
        }
        line_.append(bytes.substr(i, end - i));
        i = end;
        if (lf == nullptr) break;
        std::string_view line(line_);
        line.remove_suffix(1);  // '\n'
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty()) {  // end of the head: the content follows
            state_ = state::content;
            in_part_ = true;
            ++parts_;
            line_.clear();
            sink.part_begin(multipart_part{var_name_, file_name_});
            return i;
        }
        head_line(line);
        line_.clear();
    }
    return i;
}

bool multipart_parser::feed(std::string_view bytes, multipart_sink& sink) {
    std::size_t i = 0;
    while (i < bytes.size()) {
        switch (state_) {
            case state::done: return true;
            case state::failed: return false;
            case state::preamble:
            case state::content:
                i = held_.empty() ? scan_content(bytes, i, sink) : match_byte(bytes, i, sink);
                break;
            case state::padding:
            case state::padding_cr:
                padding_byte(bytes[i++]);
                break;
            case state::head:
                i = head_bytes(bytes, i, sink);
                break;
        }
    }
    return state_ != state::failed;
}

void multipart_parser::finish(multipart_sink& sink) {
    held_.clear();
    if (in_part_) {
        in_part_ = false;
        sink.part_end();
    }
    if (state_ != state::done) state_ = state::failed;
}
