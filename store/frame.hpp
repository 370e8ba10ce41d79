// Store frames: "magicv1 ", the payload length as seven digits, one separator
// byte, the payload. Building request frames, reading reply frames and
// splitting reply payloads.
#pragma once

#include "store/conn.hpp"

constexpr char store_magic[] = "magicv1 ";
constexpr int store_magic_size = 8;
constexpr int store_header_size = 16;
constexpr int store_length_offset = 8;
constexpr int store_length_digits = 7;
constexpr int store_max_payload = 9999999;   // what seven digits can frame
constexpr int store_entry_key_offset = 5;    // entries of a prefix list: 4-char field, space, key

// Request words.
constexpr char store_word_set[] = "set";
constexpr char store_word_remove[] = "remove";
constexpr char store_word_get[] = "get";
constexpr char store_word_inc[] = "inc";
constexpr char store_word_desc[] = "desc";
constexpr char store_word_list[] = "list";
constexpr char store_word_version[] = "version";
constexpr char store_list_all_arg[] = "__all__";     // list: every key
constexpr char store_version_arg[] = "__curr__";
constexpr char store_end_marker[] = "__end__";       // closes a list stream
constexpr char store_no_value[] = "none\n";          // value reply: the key has no value

// Converts base-10 text (leading blanks and one sign allowed) to a 32-bit int.
// 0 and *out set; 1 overflow; 2 underflow; 3 empty or trailing characters.
int store_parse_int(int* out, const char* text);

// Reads one frame over the record's profile. On success the payload is
// terminated in c->buffer and its length is in c->received.
// Returns 0, -1, -2, -3, -4 or -13.
int store_read_frame(store_conn* c);

// Request builders. Each writes the whole frame into c->buffer and returns
// its length (16 + payload), or -1 when the payload would not fit in a frame
// or memory ran out; nothing is written then.
//   "WORD ARG\n"
int store_build_word_arg(store_conn* c, const char* word, const char* arg);
//   "list __all__\n"
int store_build_list_all(store_conn* c);
//   "version __curr__\n"
int store_build_version(store_conn* c);
//   "WORD A1 A2 ... An\n" with the first '=' of A1 turned into a space
//   (the command-line key=value form); n >= 1.
int store_build_keyvalue(store_conn* c, const char* word, const char* const* args, int n);
//   "WORD KEY VALUE\n" from byte ranges; "remove KEY\n" when word is "set"
//   and the value is empty.
int store_build_set(store_conn* c, const char* word, const char* key, int klen, const char* value, int vlen);

// True when the payload closes a list stream.
bool store_is_end(const char* payload);

// Value reply "F1 F2 VALUE": the value after the second space. False when a
// space is missing or the value is "none\n" (the key has no value).
bool store_split_value(const char* payload, int len, const char** value, int* vlen);

// Entry of a prefix list "LIST KEY VALUE\n": terminates the key in place and
// drops the value's final "\n". False (payload untouched) for a payload too
// short to hold a key or without a space after the key.
bool store_split_entry(char* payload, int len, char** key, char** value);

// Entry as the command-line list shows it: the text after the first space,
// with the next space turned into '='. Null when the payload has no space.
char* store_entry_as_assignment(char* payload);
