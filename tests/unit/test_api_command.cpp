// The argument list and the length rule of a script call.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "webkvd/api/script_command.hpp"

namespace {

struct built {
    bool ok;
    script_command cmd;
};

// Scans {"params": <params>} and builds the command of method m, id 1.
built build(const std::string& params, const std::string& method = "m") {
    static json_token tokens[64];
    static std::string body;
    body = "{\"params\":" + params + "}";
    EXPECT_GT(json_scan(body.data(), static_cast<int>(body.size()), tokens, 64), 0) << body;
    built b;
    b.ok = build_script_command(method, "1", json_lookup(tokens, "params"), b.cmd);
    return b;
}

using args = std::vector<std::string>;

TEST(ScriptCommand, TakesStringsAndNumbersAtAnyDepthAsRawText) {
    built b = build(R"(["a b; reboot", 2.5e1, {"k":"v"}, [3, true, null, false], "q\"uote", ""])");
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(b.cmd.args, (args{"1", "a b; reboot", "2.5e1", "k", "v", "3", "q\\\"uote", ""}));
    EXPECT_EQ(b.cmd.line, "m 1 a b; reboot 2.5e1 k v 3 q\\\"uote   > /dev/null 2>&1 &");
}

TEST(ScriptCommand, WithoutParamsTwoBlanksStandBeforeTheRedirect) {
    script_command cmd;
    ASSERT_TRUE(build_script_command("m", "1", nullptr, cmd));
    EXPECT_EQ(cmd.line, "m 1  > /dev/null 2>&1 &");
    EXPECT_EQ(cmd.args, (args{"1"}));
}

TEST(ScriptCommand, LengthRules) {
    // "m 1 " leaves a room of 4092 for the first parameter; the suffix takes 19.
    struct {
        std::size_t param_len;
        const char* later;  // parameters after the long one
        bool ok;
        std::size_t args;
    } cases[] = {
        {4071, "", true, 2},         // line of exactly 4095
        {4072, "", false, 2},        // fits the room, but the suffix does not fit
        {4092, "", false, 2},        // fills the room
        {4093, ", \"b\"", true, 1},  // over the room: it and all later ones are left out
    };
    for (const auto& c : cases) {
        built b = build("[\"" + std::string(c.param_len, 'x') + "\"" + c.later + "]");
        EXPECT_EQ(b.ok, c.ok) << c.param_len;
        if (c.ok) {
            EXPECT_EQ(b.cmd.args.size(), c.args) << c.param_len;
            EXPECT_LE(b.cmd.line.size(), 4095u);
        }
    }
}

TEST(ScriptCommand, AContainerTooLongForTheRoomEndsTheWalk) {
    // The inner array does not fit although each of its strings would.
    built b = build("[\"" + std::string(2000, 'p') + "\", [\"" + std::string(1500, 'q') + "\", \"" +
                    std::string(1500, 'r') + "\"], \"s\"]");
    ASSERT_TRUE(b.ok);
    EXPECT_EQ(b.cmd.args, (args{"1", std::string(2000, 'p')}));
}

}  // namespace
