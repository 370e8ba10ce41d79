// Reading a call id from request text.
#pragma once

#include <cstdint>
#include <string_view>

// Reads text as a base-10 integer the way strtol does: leading white space,
// one optional sign, then digits up to the first non-digit (0 when there are
// none).  The value is taken as a 32-bit int; callers pass at most 8
// characters, so it never overflows.
std::int32_t parse_call_id(std::string_view text);
