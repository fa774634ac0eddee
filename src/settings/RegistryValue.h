#pragma once

#include <string>

#include "platform/RegistryKey.h"

// What both registry value classes share: where the value lives and whether the copy in
// memory is known to match the store.
class RegistryValue {
public:
    const std::string& valueName() const { return valueName_; }
    const std::string& subkeyPath() const { return subkeyPath_; }
    bool cached() const { return cached_; }

protected:
    // Splits a full key such as "SOFTWARE\QUILLO\ZINGWELL\servaddr" into the subkey path and
    // the value name; without a backslash the value sits in the root itself.
    RegistryValue(const std::string& fullKey, bool force, RegRoot root);

    RegRoot root_;
    std::string valueName_;
    std::string subkeyPath_;
    bool cached_ = false;
    bool force_;
};
