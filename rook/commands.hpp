// rook's commands: the command word picks one, which sends its request(s)
// over the one connection and prints what the reply calls for.
#pragma once

#include "store/conn.hpp"

constexpr int rook_exit_ok = 0;
constexpr int rook_exit_failure = 1;

// The help text, on standard output.
void rook_print_help();

// Runs the command named by args[0] with the words after it; no words prints
// the help text, an unknown word does nothing. Returns the exit status.
int rook_run(store_conn* c, int nargs, char** args);
