#include "platform/RegistryDocument.h"

#include <algorithm>
#include <cstdio>

namespace {

bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]);
        unsigned char y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z')
            x = static_cast<unsigned char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z')
            y = static_cast<unsigned char>(y - 'A' + 'a');
        if (x != y) {
            return false;
        }
    }
    return true;
}

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads a quoted, backslash-escaped text at the start of s; advances s past it.
std::optional<std::string> ReadQuoted(std::string_view& s) {
    if (s.empty() || s.front() != '"') {
        return std::nullopt;
    }
    std::string out;
    for (size_t i = 1; i < s.size(); ++i) {
        char c = s[i];
        if (c == '\\' && i + 1 < s.size()) {
            out.push_back(s[++i]);
        } else if (c == '"') {
            s.remove_prefix(i + 1);
            return out;
        } else {
            out.push_back(c);
        }
    }
    return std::nullopt;
}

std::optional<std::string> ReadHexBytes(std::string_view s) {
    std::string out;
    s = Trim(s);
    while (!s.empty()) {
        size_t comma = s.find(',');
        std::string_view item = Trim(s.substr(0, comma));
        if (item.size() < 1 || item.size() > 2) {
            return std::nullopt;
        }
        int value = 0;
        for (char c : item) {
            int d = HexDigit(c);
            if (d < 0)
                return std::nullopt;
            value = value * 16 + d;
        }
        out.push_back(static_cast<char>(value));
        if (comma == std::string_view::npos) {
            break;
        }
        s.remove_prefix(comma + 1);
        if (Trim(s).empty()) {
            return std::nullopt;  // a trailing comma: a continuation line went missing
        }
    }
    return out;
}

// Parses the right-hand side of name=...; false when it is not a form we know.
bool ParseData(std::string_view s, RegValue& value) {
    s = Trim(s);
    if (!s.empty() && s.front() == '"') {
        auto text = ReadQuoted(s);
        if (!text || !Trim(s).empty()) {
            return false;
        }
        value.type = kRegSz;
        value.bytes = *text;
        value.bytes.push_back('\0');
        return true;
    }
    if (s.substr(0, 6) == "dword:") {
        std::string_view digits = Trim(s.substr(6));
        if (digits.empty() || digits.size() > 8) {
            return false;
        }
        uint32_t number = 0;
        for (char c : digits) {
            int d = HexDigit(c);
            if (d < 0)
                return false;
            number = number * 16 + static_cast<uint32_t>(d);
        }
        value.type = kRegDword;
        value.bytes.clear();
        for (int i = 0; i < 4; ++i) {
            value.bytes.push_back(static_cast<char>((number >> (8 * i)) & 0xFF));
        }
        return true;
    }
    if (s.substr(0, 4) == "hex:") {
        auto bytes = ReadHexBytes(s.substr(4));
        if (!bytes)
            return false;
        value.type = kRegBinary;
        value.bytes = *bytes;
        return true;
    }
    if (s.substr(0, 4) == "hex(") {
        size_t close = s.find("):");
        if (close == std::string_view::npos || close <= 4 || close > 12) {
            return false;
        }
        uint32_t type = 0;
        for (char c : s.substr(4, close - 4)) {
            int d = HexDigit(c);
            if (d < 0)
                return false;
            type = type * 16 + static_cast<uint32_t>(d);
        }
        auto bytes = ReadHexBytes(s.substr(close + 2));
        if (!bytes)
            return false;
        value.type = type;
        value.bytes = *bytes;
        return true;
    }
    return false;
}

void AppendEscaped(std::string& out, std::string_view text) {
    out.push_back('"');
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out.push_back('\\');
        }
        out.push_back(c);
    }
    out.push_back('"');
}

// A REG_SZ can be written as "text" when its bytes are printable text ending in one NUL.
bool IsPlainText(const RegValue& value) {
    if (value.type != kRegSz || value.bytes.empty() || value.bytes.back() != '\0') {
        return false;
    }
    for (size_t i = 0; i + 1 < value.bytes.size(); ++i) {
        unsigned char c = static_cast<unsigned char>(value.bytes[i]);
        if (c < 0x20 || c == 0x7F) {
            return false;
        }
    }
    return true;
}

// Joins the continuation lines (ending in a backslash) of hex data into one line.
std::vector<std::string> LogicalLines(std::string_view text) {
    std::vector<std::string> lines;
    std::string current;
    bool continuing = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        std::string_view trimmed = Trim(line);
        if (continuing) {
            current.append(trimmed);
        } else {
            current.assign(trimmed);
        }
        // Only hex data continues; a quoted text ending in a backslash does not.
        continuing =
            !current.empty() && current.back() == '\\' && current.find("=hex") != std::string::npos;
        if (continuing) {
            current.pop_back();
        } else {
            lines.push_back(std::move(current));
            current.clear();
        }
    }
    if (continuing) {
        lines.push_back(std::move(current));
    }
    return lines;
}

}  // namespace

RegistryDocument RegistryDocument::Parse(std::string_view text, const std::string& rootName) {
    RegistryDocument document(rootName);
    RegKeyData* current = nullptr;  // values outside a section of our root are passed over
    for (const std::string& line : LogicalLines(text)) {
        if (line.empty() || line.front() == ';') {
            continue;
        }
        if (line.front() == '[') {
            current = nullptr;
            if (line.back() != ']' || line.size() < 2 || line[1] == '-') {
                continue;
            }
            std::string_view name(line.data() + 1, line.size() - 2);
            if (SameName(name, rootName)) {
                current = &document.CreateKey("");
            } else if (name.size() > rootName.size() && name[rootName.size()] == '\\' &&
                       SameName(name.substr(0, rootName.size()), rootName)) {
                current = &document.CreateKey(name.substr(rootName.size() + 1));
            }
            continue;
        }
        if (current == nullptr) {
            continue;
        }
        std::string_view rest(line);
        RegValue value;
        if (rest.front() == '@') {
            rest.remove_prefix(1);
        } else {
            auto name = ReadQuoted(rest);
            if (!name)
                continue;
            value.name = *name;
        }
        rest = Trim(rest);
        if (rest.empty() || rest.front() != '=') {
            continue;
        }
        rest.remove_prefix(1);
        if (Trim(rest) == "-") {
            auto& values = current->values;
            values.erase(
                std::remove_if(values.begin(), values.end(),
                               [&](const RegValue& v) { return SameName(v.name, value.name); }),
                values.end());
            continue;
        }
        if (ParseData(rest, value)) {
            document.SetValue(current->path, value.name, value.type, std::move(value.bytes));
        }
    }
    return document;
}

std::string RegistryDocument::Serialize() const {
    std::string out = "REGEDIT4\n";
    for (const RegKeyData& key : keys_) {
        out += "\n[" + rootName_;
        if (!key.path.empty()) {
            out += "\\" + key.path;
        }
        out += "]\n";
        for (const RegValue& value : key.values) {
            if (value.name.empty()) {
                out += "@";
            } else {
                AppendEscaped(out, value.name);
            }
            out += "=";
            if (IsPlainText(value)) {
                AppendEscaped(out, std::string_view(value.bytes).substr(0, value.bytes.size() - 1));
            } else if (value.type == kRegDword && value.bytes.size() == 4) {
                uint32_t number = 0;
                for (int i = 3; i >= 0; --i) {
                    number = (number << 8) | static_cast<unsigned char>(value.bytes[i]);
                }
                char digits[16];
                snprintf(digits, sizeof digits, "dword:%08x", number);
                out += digits;
            } else {
                char head[24];
                if (value.type == kRegBinary) {
                    snprintf(head, sizeof head, "hex:");
                } else {
                    snprintf(head, sizeof head, "hex(%x):", value.type);
                }
                out += head;
                for (size_t i = 0; i < value.bytes.size(); ++i) {
                    char byte[4];
                    snprintf(byte, sizeof byte, "%02x", static_cast<unsigned char>(value.bytes[i]));
                    if (i > 0)
                        out += ",";
                    out += byte;
                }
            }
            out += "\n";
        }
    }
    return out;
}

const RegKeyData* RegistryDocument::FindKey(std::string_view path) const {
    for (const RegKeyData& key : keys_) {
        if (SameName(key.path, path)) {
            return &key;
        }
    }
    return nullptr;
}

const RegValue* RegistryDocument::FindValue(std::string_view path, std::string_view name) const {
    const RegKeyData* key = FindKey(path);
    if (key == nullptr) {
        return nullptr;
    }
    for (const RegValue& value : key->values) {
        if (SameName(value.name, name)) {
            return &value;
        }
    }
    return nullptr;
}

RegKeyData& RegistryDocument::CreateKey(std::string_view path) {
    for (RegKeyData& key : keys_) {
        if (SameName(key.path, path)) {
            return key;
        }
    }
    keys_.push_back(RegKeyData{std::string(path), {}});
    return keys_.back();
}

void RegistryDocument::SetValue(std::string_view path, std::string_view name, uint32_t type,
                                std::string bytes) {
    RegKeyData& key = CreateKey(path);
    for (RegValue& value : key.values) {
        if (SameName(value.name, name)) {
            value.type = type;
            value.bytes = std::move(bytes);
            return;
        }
    }
    key.values.push_back(RegValue{std::string(name), type, std::move(bytes)});
}
