// Connection limits taken from the environment at start-up.
#include <gtest/gtest.h>

#include "webkvd/server/env_limits.hpp"

namespace {

struct env_case {
    const char* head_timeout;
    const char* max_connections;
    unsigned want_timeout;
    std::size_t want_max;
};

TEST(env_limits, only_whole_positive_numbers_change_a_limit) {
    const net::loop::limits base{};
    const env_case cases[] = {
        {nullptr, nullptr, base.head_timeout_s, base.max_connections},
        {"5", "100", 5, 100},
        {"", "", base.head_timeout_s, base.max_connections},
        {"0", "0", base.head_timeout_s, base.max_connections},
        {"-3", "-1", base.head_timeout_s, base.max_connections},
        {"5s", "1e3", base.head_timeout_s, base.max_connections},
        {" 5", "+7", base.head_timeout_s, base.max_connections},
        {"99999999999999999999", "99999999999999999999999", base.head_timeout_s, base.max_connections},
        {"4294967296", "1", base.head_timeout_s, 1},
    };
    for (const auto& tc : cases) {
        net::loop::limits l{};
        env_limits_apply(l, tc.head_timeout, tc.max_connections);
        EXPECT_EQ(l.head_timeout_s, tc.want_timeout) << (tc.head_timeout ? tc.head_timeout : "(null)");
        EXPECT_EQ(l.max_connections, tc.want_max) << (tc.max_connections ? tc.max_connections : "(null)");
    }
}

}  // namespace
