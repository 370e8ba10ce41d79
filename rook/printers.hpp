// What rook prints from the daemon's replies, all on standard output. A
// printed payload ends with exactly the "\n" it has, or one is added.
#pragma once

#include "store/conn.hpp"

// Reads one frame; unless quiet prints its payload. Returns the read's code.
int print_reply(store_conn* c, bool quiet);

// Reads a value reply and prints the value, or an empty line when there is
// none. 0, or the read's failure code.
int print_value(store_conn* c);

// Reads a list stream and prints one key=value line per entry.
// 0 at the end frame, or the code of the read that broke the stream.
int print_list(store_conn* c);

// Reads a list stream and prints one export statement per entry, with no
// line breaks, quoted so that evaluating them runs nothing. Entries whose
// key is not a shell name are named on standard error instead.
int print_export(store_conn* c);
