// Incremental parser of multipart/form-data bodies.  It is fed whatever
// pieces the socket delivers and reports part begin (with the form field's
// name), the part's content in pieces, and part end.  Content is handed on
// straight from the fed pieces; the parser holds back at most a boundary
// line's length of bytes that might yet turn out to be the boundary.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// A boundary of this many characters or more is unusable.
inline constexpr std::size_t multipart_boundary_limit = 100;
// A part's head (its header lines) larger than this makes the body malformed.
inline constexpr std::size_t multipart_max_part_head = 16 * 1024;

// Takes the "boundary" parameter of a Content-Type value (quoted or not).
// False when there is none, it is empty, it has multipart_boundary_limit
// characters or more, or it holds a line break.
bool multipart_boundary(std::string_view content_type, std::string& boundary);

struct multipart_part {
    std::string_view var_name;   // "name" parameter of Content-Disposition; empty when none
    std::string_view file_name;  // "filename" parameter; empty when none
};

// Receiver of the parser's events.  part_end always follows a part_begin,
// before the next part_begin.
class multipart_sink {
public:
    virtual void part_begin(const multipart_part& part) = 0;
    virtual void part_data(std::string_view piece) = 0;
    virtual void part_end() = 0;

protected:
    ~multipart_sink() = default;
};

class multipart_parser {
public:
    explicit multipart_parser(std::string_view boundary);

    // Parses the next bytes of the body.  Returns false once the body is
    // found malformed; the parser then ignores everything after.  Bytes after
    // the closing boundary are ignored.
    bool feed(std::string_view bytes, multipart_sink& sink);

    // The body has ended or the connection has closed: a part still in
    // progress is ended (held-back bytes, which may be the start of the
    // boundary line, are dropped).
    void finish(multipart_sink& sink);

    bool in_part() const { return in_part_; }
    bool done() const { return state_ == state::done; }   // closing boundary seen
    bool failed() const { return state_ == state::failed; }
    bool seen_part() const { return parts_ > 0; }

private:
    enum class state { preamble, content, padding, padding_cr, head, done, failed };

    void content_bytes(std::string_view bytes, multipart_sink& sink);
    void padding_byte(char b);
    // Bytes held as a possible boundary that proved to be content.
    void release(std::size_t count, multipart_sink& sink);
    // The boundary line is complete; next: head, padding or done.
    void boundary_found(state next, multipart_sink& sink);
    std::size_t scan_content(std::string_view bytes, std::size_t i, multipart_sink& sink);
    std::size_t match_byte(std::string_view bytes, std::size_t i, multipart_sink& sink);
    std::size_t head_bytes(std::string_view bytes, std::size_t i, multipart_sink& sink);
    void head_line(std::string_view line);

    std::string delimiter_;  // "\r\n--" + boundary
    std::string held_;       // bytes of a possible delimiter (plus up to two after it)
    std::string line_;       // the head line being read
    std::size_t head_size_ = 0;  // bytes of the current part's head so far
    std::string var_name_;
    std::string file_name_;
    state state_ = state::preamble;
    bool in_part_ = false;
    std::size_t parts_ = 0;
};
