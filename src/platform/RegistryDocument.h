#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Value types, numbered as the registry numbers them.
enum RegType : uint32_t {
    kRegNone = 0,
    kRegSz = 1,
    kRegExpandSz = 2,
    kRegBinary = 3,
    kRegDword = 4,
};

struct RegValue {
    std::string name;
    uint32_t type = kRegNone;
    std::string bytes;  // raw, exactly as stored (a REG_SZ keeps its terminating NUL)
};

struct RegKeyData {
    std::string path;  // subkey below the root, backslash-separated; empty for the root
    std::vector<RegValue> values;
};

// One registry root held as registry-export text:
//   REGEDIT4
//   [HKEY_CURRENT_USER\SOFTWARE\QUILLO\ZINGWELL]
//   "name"="text"   "name"=dword:00000001   "name"=hex(N):61,62
// Parsing never fails: lines it cannot read are passed over. Key and value names
// match without regard to ASCII case, as in the registry.
class RegistryDocument {
public:
    explicit RegistryDocument(std::string rootName) : rootName_(std::move(rootName)) {}

    static RegistryDocument Parse(std::string_view text, const std::string& rootName);
    std::string Serialize() const;

    const RegKeyData* FindKey(std::string_view path) const;
    const RegValue* FindValue(std::string_view path, std::string_view name) const;
    // Creates the key if needed; replaces a value of that name.
    void SetValue(std::string_view path, std::string_view name, uint32_t type, std::string bytes);
    RegKeyData& CreateKey(std::string_view path);

    const std::vector<RegKeyData>& keys() const { return keys_; }

private:
    std::string rootName_;
    std::vector<RegKeyData> keys_;
};
