// Connection-layer limits that the environment may change at start-up:
// WEBKVD_HEAD_TIMEOUT (seconds a connection may idle or take for a request
// head) and WEBKVD_MAX_CONNECTIONS (open connections at most).
#pragma once

#include "webkvd/net/connection.hpp"

inline constexpr const char* head_timeout_env = "WEBKVD_HEAD_TIMEOUT";
inline constexpr const char* max_connections_env = "WEBKVD_MAX_CONNECTIONS";

// Applies the two values (either may be null).  A value that is not a whole
// positive number leaves its limit unchanged.
void env_limits_apply(net::loop::limits& l, const char* head_timeout, const char* max_connections);

// The same with the process environment.
void env_limits_from_environment();
