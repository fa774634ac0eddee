#include "settings/RegistryValue.h"

RegistryValue::RegistryValue(const std::string& fullKey, bool force, RegRoot root)
    : root_(root), force_(force) {
    std::string key = fullKey;
    key.erase(0, key.find_first_not_of('\\') == std::string::npos ? key.size()
                                                                  : key.find_first_not_of('\\'));
    const size_t last = key.rfind('\\');
    if (last == std::string::npos) {
        valueName_ = key;
        return;
    }
    subkeyPath_ = key.substr(0, last);
    while (!subkeyPath_.empty() && subkeyPath_.back() == '\\') {
        subkeyPath_.pop_back();
    }
    valueName_ = key.substr(last + 1);
}
