#pragma once

#include <string>

#include "settings/RegistryValue.h"

// One registry text with a default, read when built.
class RegistryText : public RegistryValue {
public:
    RegistryText(const std::string& fullKey, std::string defaultValue, bool force, RegRoot root);

    std::string Read();
    void Write();
    std::string Get();
    void Set(const std::string& value);

    operator std::string() { return Get(); }
    RegistryText& operator=(const std::string& value) {
        Set(value);
        return *this;
    }

private:
    std::string value_;
    std::string default_;
};
