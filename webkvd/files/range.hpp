// The single byte range of a Range header.
#pragma once

#include <cstdint>
#include <string_view>

namespace files {

struct byte_range {
    std::uint64_t first = 0;
    std::uint64_t last = 0;  // inclusive
    std::uint64_t length() const { return last - first + 1; }
};

enum class range_kind {
    whole,          // no usable range: send the whole file (absent, malformed, several ranges)
    partial,        // 206 with out
    unsatisfiable,  // 416
};

// Reads "bytes=a-b", "bytes=a-" or "bytes=-n" against a file of size bytes.
range_kind parse_range(std::string_view value, std::uint64_t size, byte_range& out);

}  // namespace files
