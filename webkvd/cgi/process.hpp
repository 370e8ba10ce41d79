// Starting a program with pipes on its standard input and output.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace cgi {

struct child {
    pid_t pid = -1;
    int stdin_fd = -1;   // write end, non-blocking
    int stdout_fd = -1;  // read end, non-blocking
};

// Starts path (a #! line picks its interpreter) in its own directory and
// its own process group, with env as its whole environment, default signal
// handling and no descriptors of ours but its standard streams (standard
// error is shared).  Returns 0, or the errno value of the failure.
int spawn_program(const std::string& path, const std::vector<std::string>& env, child& out);

// Kills the program and whatever it started in its process group.
void kill_program(pid_t pid);

}  // namespace cgi
