// Multipart parser: the input's first line is the Content-Type value, the
// rest the body.  The body is parsed three ways (at once, one byte at a time,
// in pieces of varying size); the events must be the same each way, since a
// socket may cut the body anywhere.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "webkvd/upload/multipart.hpp"

namespace {

void check(bool ok) {
    if (!ok) __builtin_trap();
}

// Records events as text: "B<name>|<file>\n", the data joined, "E\n".
struct recorder final : multipart_sink {
    std::string log;
    bool open = false;

    void part_begin(const multipart_part& part) override {
        check(!open);
        open = true;
        log += "B";
        log.append(part.var_name);
        log += "|";
        log.append(part.file_name);
        log += "\n";
    }
    void part_data(std::string_view piece) override {
        check(open);
        log.append(piece);
    }
    void part_end() override {
        check(open);
        open = false;
        log += "E\n";
    }
};

struct outcome {
    std::string log;
    bool done;
    bool failed;
};

// Feeds the body in pieces whose sizes come from next_size().
template <typename SizeFn>
outcome parse(const std::string& boundary, std::string_view body, SizeFn next_size) {
    multipart_parser parser(boundary);
    recorder sink;
    std::size_t at = 0;
    while (at < body.size()) {
        std::size_t n = std::min(next_size(), body.size() - at);
        // Each piece is its own allocation, so a read past it is caught.
        std::string piece(body.substr(at, n));
        bool ok = parser.feed(piece, sink);
        check(ok == !parser.failed());
        at += n;
    }
    parser.finish(sink);
    check(!sink.open);
    return {sink.log, parser.done(), parser.failed()};
}

constexpr std::size_t max_piece = 37;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view input(reinterpret_cast<const char*>(data), size);
    std::size_t eol = input.find('\n');
    if (eol == std::string_view::npos) return 0;
    std::string boundary;
    if (!multipart_boundary(input.substr(0, eol), boundary)) return 0;
    check(!boundary.empty() && boundary.size() < multipart_boundary_limit);
    std::string_view body = input.substr(eol + 1);

    outcome whole = parse(boundary, body, [&] { return body.size(); });
    outcome bytes = parse(boundary, body, [] { return std::size_t{1}; });
    std::uint32_t seed = static_cast<std::uint32_t>(size) * 2654435761u;
    outcome pieces = parse(boundary, body, [&] {
        seed = seed * 1103515245u + 12345u;
        return std::size_t{1} + (seed >> 16) % max_piece;
    });
    for (const outcome* o : {&bytes, &pieces}) {
        check(o->log == whole.log);
        check(o->done == whole.done && o->failed == whole.failed);
    }
    return 0;
}
