// JSON token scanner: checks a JSON text and cuts it into a flat array of
// tokens in one pass, in place.  Tokens point into the input; nothing is
// copied, unescaped, converted or allocated.
//
// The accepted format is deliberately lenient in two ways (object keys may be
// bare words, commas between members are optional) and strict in one (the top
// level must be an object or an array).  The data API's bodies rely on this.
#pragma once

enum json_token_type : int {
    TOKEN_END = 0,     // end mark just after the top-level value
    TOKEN_STRING = 1,  // string value or object key (quotes excluded, escapes raw)
    TOKEN_NUMBER = 2,
    TOKEN_OBJECT = 3,  // braces included
    TOKEN_TRUE = 4,
    TOKEN_FALSE = 5,
    TOKEN_NULL = 6,
    TOKEN_ARRAY = 7,   // brackets included
};

struct json_token {
    const char* text;  // first byte of the token in the input
    int len;           // input bytes the token covers
    int descendants;   // tokens after this one that lie inside it
    int type;          // json_token_type
};

// Results of json_scan other than a length.
inline constexpr int SCAN_INVALID = -1;     // the text breaks the grammar
inline constexpr int SCAN_INCOMPLETE = -2;  // the text ends inside the top-level value
inline constexpr int SCAN_FULL = -3;        // the token array is too small

// Scans the len bytes at text into tokens (room for token_cap).  Returns the
// number of bytes up to the end of the top-level value (later bytes are not
// looked at), or a SCAN_ code.  The last token written is one TOKEN_END.
// On failure the tokens written so far have no meaning.
int json_scan(const char* text, int len, json_token* tokens, int token_cap);

// Follows path ("method", "a.b", "items[2]", "list[0].name") from token, an
// object or array token of a scanned array; returns the value's token or
// null.  Keys compare byte for byte with the raw key text; the first match
// wins.
const json_token* json_lookup(const json_token* token, const char* path);
