// Multipart parser: the same events whatever pieces the body arrives in,
// boundary lines told apart from content that merely resembles them, names
// from Content-Disposition, bounded hold-back, and malformed bodies.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "webkvd/upload/multipart.hpp"

namespace {

// Records events as text: "<name|file>" at a begin, the content (pieces
// joined), "</>" at an end.
struct recorder : multipart_sink {
    std::string log;
    std::size_t content_bytes = 0;
    void part_begin(const multipart_part& p) override {
        log += "<" + std::string(p.var_name) + "|" + std::string(p.file_name) + ">";
    }
    void part_data(std::string_view piece) override {
        EXPECT_FALSE(piece.empty());
        log.append(piece);
        content_bytes += piece.size();
    }
    void part_end() override { log += "</>"; }
};

constexpr const char* boundary = "XyZ12";

std::string part(const std::string& disposition, const std::string& content) {
    return std::string("--") + boundary + "\r\nContent-Disposition: " + disposition +
           "\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n";
}
std::string closing() { return std::string("--") + boundary + "--\r\n"; }

// Feeds body in the pieces that begin at the given offsets, then finishes.
std::string parse_in_pieces(const std::string& body, const std::vector<std::size_t>& cuts, bool& ok) {
    multipart_parser p(boundary);
    recorder r;
    std::size_t from = 0;
    ok = true;
    for (std::size_t i = 0; i <= cuts.size(); ++i) {
        const std::size_t to = i < cuts.size() ? cuts[i] : body.size();
        ok = p.feed(std::string_view(body).substr(from, to - from), r) && ok;
        from = to;
    }
    p.finish(r);
    return r.log;
}

struct body_case {
    const char* what;
    std::string body;
    std::string events;
};

std::vector<body_case> bodies() {
    const std::string b = boundary;
    return {
        {"one part", part("form-data; name=\"f\"; filename=\"a.bin\"", "hello") + closing(),
         "<f|a.bin>hello</>"},
        {"several parts, one empty, CRLF inside content",
         part("form-data; name=\"a\"", "line1\r\nline2\r\n") + part("form-data; name=\"e\"", "") +
             part("form-data; name=\"c\"", "\r\n\r\n") + closing(),
         "<a|>line1\r\nline2\r\n</><e|></><c|>\r\n\r\n</>"},
        {"content lines that begin like the boundary",
         part("form-data; name=\"f\"",
              "\r\n--XyZ1\r\n--" + b + "x\r\n--" + b + "-x\r\n--" + b + "\rz\r\r\n--XyZ\r\n--" + b + "\r") +
             closing(),
         "<f|>\r\n--XyZ1\r\n--" + b + "x\r\n--" + b + "-x\r\n--" + b + "\rz\r\r\n--XyZ\r\n--" + b + "\r</>"},
        {"preamble, padding after the boundary, epilogue",
         "ignored preamble\r\n--" + b + " \t\r\nContent-Disposition: form-data; name=g\r\n\r\nG\r\n--" + b +
             "--\r\nignored epilogue\r\n--" + b + "\r\n",
         "<g|>G</>"},
        {"no headers at all, bare LF line ends in the head",
         "--" + b + "\r\n\r\nx\r\n--" + b + "\r\ncontent-disposition: form-data; name=n\n\ny\r\n--" + b + "--",
         "<|>x</><n|>y</>"},
        {"closing boundary alone", closing(), ""},
        {"body ends inside a part without its delimiter", part("form-data; name=\"f\"", "abc"), "<f|>abc</>"},
    };
}

TEST(Multipart, SameEventsForEverySplit) {
    for (const auto& c : bodies()) {
        const std::size_t n = c.body.size();
        bool ok = false;
        EXPECT_EQ(parse_in_pieces(c.body, {}, ok), c.events) << c.what << ": whole";
        EXPECT_TRUE(ok) << c.what;
        std::vector<std::size_t> bytewise;
        for (std::size_t i = 1; i < n; ++i) bytewise.push_back(i);
        EXPECT_EQ(parse_in_pieces(c.body, bytewise, ok), c.events) << c.what << ": byte by byte";
        for (std::size_t i = 0; i <= n; ++i)
            for (std::size_t j = i; j <= n; ++j)
                ASSERT_EQ(parse_in_pieces(c.body, {i, j}, ok), c.events) << c.what << ": cut at " << i << ", " << j;
    }
}

TEST(Multipart, HoldsBackNoMoreThanABoundaryLine) {
    // Content full of CRs and near-boundaries, fed a byte at a time: the
    // content handed on may lag the content fed by at most the delimiter
    // line ("\r\n--" + boundary + two bytes).
    std::string content;
    for (int i = 0; i < 50; ++i) content += "\r\n--XyZ1\r\r\n-\r\n--XyZ12x";
    const std::string head = part("form-data; name=\"f\"", "");
    const std::string body = head.substr(0, head.size() - 2) + content + "\r\n" + closing();
    const std::size_t delimiter_line = 4 + std::string(boundary).size() + 2;

    multipart_parser p(boundary);
    recorder r;
    const std::size_t content_start = head.size() - 2;
    for (std::size_t i = 0; i < body.size(); ++i) {
        ASSERT_TRUE(p.feed(std::string_view(body).substr(i, 1), r));
        if (i >= content_start && i < content_start + content.size()) {
            const std::size_t fed = i + 1 - content_start;
            ASSERT_LE(fed - r.content_bytes, delimiter_line) << "after byte " << i;
        }
    }
    EXPECT_EQ(r.content_bytes, content.size());
    EXPECT_TRUE(p.done());
}

TEST(Multipart, FieldNameFromContentDisposition) {
    const std::pair<std::string, std::string> cases[] = {
        {"Content-Disposition: form-data; name=\"f\"", "<f|>"},
        {"Content-Disposition: form-data; name=f", "<f|>"},
        {"content-DISPOSITION:form-data;NAME=f ;filename=x", "<f|x>"},
        {"Content-Disposition: form-data; filename=\"a.txt\"; name=\"g\"", "<g|a.txt>"},
        {"Content-Disposition: form-data; filename=\"a.txt\"", "<|a.txt>"},
        {"Content-Disposition: form-data; name=\"\"", "<|>"},
        {"Content-Disposition: form-data; name=\"a \\\"q\\\" ;b\"", "<a \"q\" ;b|>"},
        {"Content-Disposition: form-data; name=\"first\"; name=\"second\"", "<first|>"},
        {"X-Name: form-data; name=\"no\"", "<|>"},
    };
    for (const auto& [header, want] : cases) {
        const std::string body = "--" + std::string(boundary) + "\r\n" + header + "\r\n\r\nv\r\n" + closing();
        bool ok = false;
        EXPECT_EQ(parse_in_pieces(body, {}, ok), want + "v</>") << header;
    }
}

TEST(Multipart, MalformedBodiesStopTheParser) {
    const std::string b = boundary;
    const std::string cases[] = {
        "--" + b + " x\r\n\r\ncontent",                                  // text after the padding
        "--" + b + " \r\r\n\r\ncontent",                                  // CR after the padding without LF
        "--" + b + "\r\nX: " + std::string(multipart_max_part_head, 'h') + "\r\n\r\ncontent",  // huge head
    };
    for (const auto& body : cases) {
        multipart_parser p(boundary);
        recorder r;
        EXPECT_FALSE(p.feed(body, r)) << body.substr(0, 40);
        EXPECT_TRUE(p.failed());
        EXPECT_FALSE(p.feed(part("form-data; name=a", "late") + closing(), r));
        EXPECT_EQ(r.log, "");
    }
    // A part already received is ended before the failure.
    multipart_parser p(boundary);
    recorder r;
    EXPECT_FALSE(p.feed(part("form-data; name=a", "A") + "--" + b + "\t!", r));
    EXPECT_EQ(r.log, "<a|>A</>");
}

TEST(Multipart, FinishEndsAPartInProgressOnce) {
    multipart_parser p(boundary);
    recorder r;
    ASSERT_TRUE(p.feed(part("form-data; name=f", "partial\r\n--Xy"), r));
    EXPECT_TRUE(p.in_part());
    p.finish(r);
    p.finish(r);
    EXPECT_EQ(r.log, "<f|>partial\r\n--Xy</>");
    EXPECT_FALSE(p.in_part());
}

TEST(Multipart, BoundaryFromContentType) {
    const std::string longest(multipart_boundary_limit - 1, 'b');
    const std::pair<std::string, const char*> cases[] = {
        {"multipart/form-data; boundary=abc", "abc"},
        {"multipart/form-data;boundary=abc;charset=utf-8", "abc"},
        {"multipart/form-data; charset=utf-8; BOUNDARY=----WebKitFormBoundary7MA4", "----WebKitFormBoundary7MA4"},
        {"multipart/form-data; boundary=\"a b;c\"", "a b;c"},
        {"multipart/form-data; boundary=" + longest, longest.c_str()},
        {"multipart/form-data; boundary=" + longest + "b", nullptr},  // 100 characters
        {"multipart/form-data", nullptr},
        {"multipart/form-data; boundary=", nullptr},
        {"multipart/form-data; boundary=\"\"", nullptr},
        {"multipart/form-data; xboundary=abc", nullptr},
        {"multipart/form-data; boundary=\"a\rb\"", nullptr},
    };
    for (const auto& [ct, want] : cases) {
        std::string got;
        const bool ok = multipart_boundary(ct, got);
        EXPECT_EQ(ok, want != nullptr) << ct;
        if (ok && want != nullptr) {
            EXPECT_EQ(got, want) << ct;
        }
    }
}

}  // namespace
