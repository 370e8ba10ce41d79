// The data file: loaded at start, replaced whole after changes by writing a
// temporary file, syncing it and renaming it over the old one, so a crash or
// power loss leaves either the old or the new contents.
#pragma once

#include <string>

#include "larkd/keys.hpp"

// Loads path into keys; a missing file is an empty store. False with a
// message in *error when the file cannot be read or is damaged.
bool larkd_load(const std::string& path, larkd_keys* keys, std::string* error);

// Saves keys durably. False with a message in *error on failure; the old
// file is then left as it was.
bool larkd_save(const std::string& path, const larkd_keys& keys, std::string* error);
