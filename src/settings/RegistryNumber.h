#pragma once

#include <cstdint>
#include <string>

#include "settings/RegistryValue.h"

// One 32-bit registry number with a default, read when built.
class RegistryNumber : public RegistryValue {
public:
    RegistryNumber(const std::string& fullKey, uint32_t defaultValue, bool force, RegRoot root);

    uint32_t Read();
    void Write();
    uint32_t Get();
    void Set(uint32_t value);

    operator uint32_t() { return Get(); }
    RegistryNumber& operator=(uint32_t value) {
        Set(value);
        return *this;
    }

private:
    uint32_t value_;
    uint32_t default_;
};
