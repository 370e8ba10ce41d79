// The arguments a call's script gets, and the command line that stands for
// them in the log.  The line also keeps the historic length limit: a call
// whose line would not fit is refused, so pages see the same codes as ever.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "webkvd/json/json.hpp"

// Longest command line a call may have.
inline constexpr int max_command_line = 4095;
// Ends every line: the script was once put into the background by a shell.
inline constexpr const char* command_line_suffix = " > /dev/null 2>&1 &";

struct script_command {
    std::string line;               // "<method> <id> <param> ... " + suffix
    std::vector<std::string> args;  // the id text, then each taken parameter
};

// Builds the command of a call.  params is the "params" array token, or
// null.  The strings and numbers among its tokens, nested ones included, are
// taken in order until one does not fit the room left on the line; that one
// and every later one are left out.  Returns false when the finished line
// would exceed max_command_line.
bool build_script_command(std::string_view method, std::string_view id_text, const json_token* params,
                          script_command& out);
