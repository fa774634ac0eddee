#include "settings/RegistryNumber.h"

RegistryNumber::RegistryNumber(const std::string& fullKey, uint32_t defaultValue, bool force,
                               RegRoot root)
    : RegistryValue(fullKey, force, root), value_(defaultValue), default_(defaultValue) {
    Read();
}

uint32_t RegistryNumber::Read() {
    RegistryKey key;
    if (!key.OpenForRead(root_, subkeyPath_)) {
        return value_;
    }
    // The stored bytes land over the held number from its low-order end, whatever their
    // type; more than four bytes count as absent.
    uint8_t buffer[4] = {static_cast<uint8_t>(value_), static_cast<uint8_t>(value_ >> 8),
                         static_cast<uint8_t>(value_ >> 16), static_cast<uint8_t>(value_ >> 24)};
    uint32_t size = sizeof buffer;
    if (key.Query(valueName_, nullptr, buffer, &size) != RegResult::Ok) {
        value_ = default_;
    } else {
        value_ = static_cast<uint32_t>(buffer[0]) | static_cast<uint32_t>(buffer[1]) << 8 |
                 static_cast<uint32_t>(buffer[2]) << 16 | static_cast<uint32_t>(buffer[3]) << 24;
        cached_ = true;
    }
    key.Close();
    return value_;
}

void RegistryNumber::Write() {
    RegistryKey key;
    if (!key.OpenForWrite(root_, subkeyPath_)) {
        return;
    }
    const uint8_t bytes[4] = {static_cast<uint8_t>(value_), static_cast<uint8_t>(value_ >> 8),
                              static_cast<uint8_t>(value_ >> 16),
                              static_cast<uint8_t>(value_ >> 24)};
    if (key.SetValue(valueName_, kRegDword, bytes, sizeof bytes)) {
        cached_ = true;
    }
    key.Close();
}

uint32_t RegistryNumber::Get() {
    if (!cached_ || force_) {
        return Read();
    }
    return value_;
}

void RegistryNumber::Set(uint32_t value) {
    if (value != value_ || force_) {
        value_ = value;
        Write();
    }
}
