// Content-Type of a served file, chosen by its name's suffix.
#pragma once

#include <string_view>

namespace files {

// The device's own entries (.txt, .sh, .log) take precedence over the
// built-in table of common types; suffixes match without regard to case.
// Unknown suffixes get default_mime_type.
std::string_view mime_type(std::string_view file_name);

inline constexpr std::string_view default_mime_type = "text/plain";

}  // namespace files
