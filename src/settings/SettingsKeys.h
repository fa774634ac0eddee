#pragma once

#include <string>

// Every setting lives under this subkey; a full key is the subkey, a backslash and the name.
inline constexpr const char* kSettingsSubkey = "SOFTWARE\\QUILLO\\ZINGWELL";

inline std::string SettingKey(const char* valueName) {
    return std::string(kSettingsSubkey) + "\\" + valueName;
}
