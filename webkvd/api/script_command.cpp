#include "webkvd/api/script_command.hpp"

#include <cstring>

namespace {

// The room for the next parameter is counted against this many characters.
constexpr int command_room = max_command_line + 1;

}  // namespace

bool build_script_command(std::string_view method, std::string_view id_text, const json_token* params,
                          script_command& out) {
    out.line.clear();
    out.args.clear();
    out.line.append(method).append(" ").append(id_text).append(" ");
    out.args.emplace_back(id_text);
    const int count = params != nullptr ? params->descendants : 0;
    for (int i = 1; i <= count; ++i) {
        const json_token& t = params[i];
        const int room = command_room - static_cast<int>(out.line.size());
        if (t.len > room) break;
        if (t.type != TOKEN_STRING && t.type != TOKEN_NUMBER) continue;
        std::string_view text(t.text, static_cast<std::size_t>(t.len));
        out.line.append(text).append(" ");
        out.args.emplace_back(text);
    }
    out.line.append(command_line_suffix);
    return static_cast<int>(out.line.size()) <= max_command_line;
}
