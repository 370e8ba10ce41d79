// Starting a call's script without a shell, and reaping it when it ends.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

// Runs the file at path with argv[0] = name and then args, detached: its
// standard streams are on /dev/null, it inherits no other descriptor, its
// signals are at their defaults, and it runs in a process group of its own.
// A file the kernel will not execute itself (a script without a "#!" line)
// is run by /bin/sh: /bin/sh <path> <args...>.  The server does not wait
// for the script; its exit is collected later by script_reap().
// Returns 0, or an errno value when no process could be started.
int script_start(const std::string& path, const std::string& name, const std::vector<std::string>& args);

// Collects the exit of every started script that has ended; never waits.
void script_reap();

// Scripts started and not yet collected.
std::size_t script_running();
