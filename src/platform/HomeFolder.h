#pragma once

#include <string>

// The user's home: $HOME, else the home directory of the password database; empty if neither.
std::string HomeDirectory();

// A per-user folder that no other user can have planted: owned by us, mode 0700, not a
// symbolic link. Used when the receive folder cannot be made in the home. Empty on failure.
std::string SafeFallbackFolder();
