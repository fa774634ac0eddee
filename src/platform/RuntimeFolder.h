#pragma once

#include <string>

// The per-user folder for the running copy's lock and socket: $XDG_RUNTIME_DIR when it is ours
// alone (as a desktop session makes it), else ${XDG_CACHE_HOME:-$HOME/.cache}/zingwell/run,
// made private. Empty when neither can be trusted.
std::string RuntimeFolder();

// True when path is a folder (not a symbolic link) owned by us that no one else may enter.
bool IsPrivateFolder(const std::string& path);
