#pragma once

#include <string>

// Where this user's key and known computers live: ${XDG_CONFIG_HOME:-~/.config}/zingwell
// (an XDG_CONFIG_HOME that is not absolute is ignored, as for the registry).
std::string IdentityFolder();

// Makes folder (mode 0700) and its missing parents; true when it stands as a folder.
bool MakeIdentityFolder(const std::string& folder, std::string& error);
