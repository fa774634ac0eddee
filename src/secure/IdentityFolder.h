#pragma once

#include <string>

// Where this user's key and known computers live: ${XDG_CONFIG_HOME:-~/.config}/zingwell
// (an XDG_CONFIG_HOME that is not absolute is ignored, as for the registry).
std::string IdentityFolder();
