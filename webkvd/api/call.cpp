// POST "/_api/": store the fields, start the script, and leave the reply
// open for the script's result.
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstring>
#include <string>
#include <string_view>

#include "webkvd/api/api.hpp"
#include "webkvd/api/script_command.hpp"
#include "webkvd/api/spawn.hpp"
#include "webkvd/calls/call_id.hpp"
#include "webkvd/calls/pending.hpp"
#include "webkvd/main/config.hpp"

namespace {

constexpr const char* call_notice_format = "set id=%d flen=%d dst=%s\n";
constexpr int call_notice_level = 0;
constexpr const char* set_word = "set";

// A body may need this many tokens at most; more is refused.
constexpr int api_token_cap = 20480;
constexpr int max_method_len = 4095;
constexpr int max_id_len = 8;
constexpr int no_call_result = 0;

// One request at a time on the one thread: the array is reused.
json_token tokens[api_token_cap];

bool is_container(const json_token& t) { return t.type == TOKEN_OBJECT || t.type == TOKEN_ARRAY; }

// A method names a file directly inside the scripts directory.
bool script_name_allowed(std::string_view method) {
    return !method.empty() && method != "." && method != ".." && method.find('/') == std::string_view::npos;
}

bool script_runnable(const std::string& path) {
    struct stat st {};
    return ::access(path.c_str(), X_OK) == 0 && ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Writes each member of the "fields" object to the store: the value's raw
// text (an object or array as a whole), or a removal for an empty value.
// A key that is empty or holds a space cannot be stored and is skipped.
void store_fields(store_conn& sc, const json_token* fields) {
    for (int p = 1; p + 1 <= fields->descendants;) {
        const json_token& key = fields[p];
        const json_token& value = fields[p + 1];
        if (key.len > 0 && std::memchr(key.text, ' ', static_cast<std::size_t>(key.len)) == nullptr)
            store_set(&sc, set_word, key.text, key.len, value.len > 0 ? value.text : "", value.len);
        p += 2 + (is_container(value) ? value.descendants : 0);
    }
}

}  // namespace

int api_call(client_state& cs, net::connection& c, const net::http_message& m) {
    if (m.body.size() > static_cast<std::size_t>(INT_MAX)) return api_bad_body;
    if (json_scan(m.body.data(), static_cast<int>(m.body.size()), tokens, api_token_cap) <= 0) return api_bad_body;

    const json_token* method = json_lookup(&tokens[0], "method");
    if (method == nullptr || method->type != TOKEN_STRING || method->len > max_method_len) return api_bad_method;
    const std::string name(method->text, static_cast<std::size_t>(method->len));
    if (!script_name_allowed(name)) return api_no_script;
    const std::string path = scripts_dir() + "/" + name;
    if (!script_runnable(path)) return api_no_script;

    const json_token* fields = json_lookup(&tokens[0], "fields");
    if (fields != nullptr && fields->type == TOKEN_OBJECT && fields->descendants >= 1) {
        store_conn sc;
        if (store_open(&sc) != 0) return api_no_store;
        store_fields(sc, fields);
        store_close(&sc);
    }

    const json_token* id = json_lookup(&tokens[0], "id");
    if (id == nullptr || id->type != TOKEN_NUMBER || id->len > max_id_len) {
        // Fields only: answered at once, and the connection stays usable.
        c.printf_chunk(call_code_chunk, no_call_result);
        c.send_last_chunk();
        return api_done;
    }
    const std::string_view id_text(id->text, static_cast<std::size_t>(id->len));

    const json_token* params = json_lookup(&tokens[0], "params");
    if (params != nullptr && (params->type != TOKEN_ARRAY || params->descendants < 1)) params = nullptr;
    script_command cmd;
    if (!build_script_command(name, id_text, params, cmd)) return api_too_long;

    const std::int32_t call_id = parse_call_id(id_text);
    notice(call_notice_level, call_notice_format, call_id, id->len, cmd.line.c_str());
    // A script that cannot be started is not reported: like one that never
    // posts, its call is answered by the time-out.
    script_start(path, name, cmd.args);

    if (pending_add(&c, call_id) == nullptr) return api_too_long;
    cs.call_id = call_id;
    c.hold(true);  // no idle close and no next request while the call waits
    return api_done;
}
