#include "settings/RegistryText.h"

#include <cstring>
#include <vector>

RegistryText::RegistryText(const std::string& fullKey, std::string defaultValue, bool force,
                           RegRoot root)
    : RegistryValue(fullKey, force, root), value_(defaultValue), default_(std::move(defaultValue)) {
    Read();
}

std::string RegistryText::Read() {
    RegistryKey key;
    if (!key.OpenForRead(root_, subkeyPath_)) {
        return value_;
    }
    uint32_t size = 0;
    RegResult result = key.Query(valueName_, nullptr, nullptr, &size);
    std::vector<uint8_t> buffer(size);
    if (result == RegResult::Ok) {
        result = key.Query(valueName_, nullptr, buffer.data(), &size);
    }
    if (result != RegResult::Ok) {
        value_ = default_;
    } else {
        // Up to the first NUL, never beyond the stored bytes (a text may lack its NUL).
        const void* nul = size > 0 ? memchr(buffer.data(), '\0', size) : nullptr;
        const size_t length =
            nul != nullptr ? static_cast<size_t>(static_cast<const uint8_t*>(nul) - buffer.data())
                           : size;
        value_.assign(reinterpret_cast<const char*>(buffer.data()), length);
        cached_ = true;
    }
    key.Close();
    return value_;
}

void RegistryText::Write() {
    RegistryKey key;
    if (!key.OpenForWrite(root_, subkeyPath_)) {
        return;
    }
    if (key.SetValue(valueName_, kRegSz, value_.c_str(),
                     static_cast<uint32_t>(value_.size() + 1))) {
        cached_ = true;
    }
    key.Close();
}

std::string RegistryText::Get() {
    if (!cached_ || force_) {
        return Read();
    }
    return value_;
}

void RegistryText::Set(const std::string& value) {
    if (value != value_ || force_) {
        value_ = value;
        Write();
    }
}
