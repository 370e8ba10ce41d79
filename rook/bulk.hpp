// Commands that move many keys in one run: import from a key=value file and
// save from the environment.
#pragma once

#include "store/conn.hpp"

// One set per usable line of the file; each acknowledgement is read and
// dropped. Returns the exit status.
int rook_import(store_conn* c, const char* file_name);

// One set per environment entry that starts with prefix; no reply is read.
// Returns the exit status.
int rook_save(store_conn* c, const char* prefix, char** environment);
