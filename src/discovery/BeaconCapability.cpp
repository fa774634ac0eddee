#include "discovery/BeaconCapability.h"

#include <algorithm>

#include "core/PercentText.h"

namespace {

size_t EncodedLength(unsigned char c) {
    return percent_text::IsUnreserved(c) ? 1 : 3;
}

// Where a character that starts at or before `at` begins: a cut there splits none.
size_t CharacterStart(const std::string& text, size_t at) {
    while (at > 0 && at < text.size() && (static_cast<unsigned char>(text[at]) & 0xC0) == 0x80) {
        --at;
    }
    return at;
}

// Strict: every byte outside the unreserved set must come as %XX.
std::optional<std::string> PercentDecode(std::string_view text) {
    if (text.size() > BeaconCapability::kMaxEncodedName) {
        return std::nullopt;
    }
    std::optional<std::string> decoded = percent_text::Decode(text);
    if (!decoded) {
        return std::nullopt;
    }
    std::string& out = *decoded;
    if (out.size() > BeaconCapability::kMaxName) {
        out.resize(CharacterStart(out, BeaconCapability::kMaxName));
    }
    return out;
}

}  // namespace

bool BeaconCapability::IsKeyId(std::string_view text) {
    if (text.size() != kKeyIdLength) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    return true;
}

std::string BeaconCapability::Encode(const std::string& keyId, const std::string& name) {
    std::string field = "zw1;tls";
    if (IsKeyId(keyId)) {
        field += ";k=" + keyId;
    }
    size_t end = 0;
    size_t encoded = 0;
    while (end < name.size() && end < kMaxName) {
        // Whole characters only: a name is never cut inside one.
        size_t next = end + 1;
        while (next < name.size() && (static_cast<unsigned char>(name[next]) & 0xC0) == 0x80) {
            ++next;
        }
        size_t length = 0;
        for (size_t i = end; i < next; ++i) {
            length += EncodedLength(static_cast<unsigned char>(name[i]));
        }
        if (next > kMaxName || encoded + length > kMaxEncodedName) {
            break;
        }
        encoded += length;
        end = next;
    }
    if (end > 0) {
        static const char kHex[] = "0123456789ABCDEF";
        field += ";n=";
        for (size_t i = 0; i < end; ++i) {
            const auto c = static_cast<unsigned char>(name[i]);
            if (percent_text::IsUnreserved(c)) {
                field += static_cast<char>(c);
            } else {
                field += '%';
                field += kHex[c >> 4];
                field += kHex[c & 15];
            }
        }
    }
    return field;
}

std::optional<Capability> BeaconCapability::Decode(std::string_view field) {
    Capability capability;
    bool first = true;
    bool haveKey = false;
    bool haveName = false;
    size_t at = 0;
    for (;;) {
        const size_t end = std::min(field.find(';', at), field.size());
        const std::string_view token = field.substr(at, end - at);
        if (first) {
            if (token != "zw1") {
                return std::nullopt;
            }
            first = false;
        } else if (token == "tls") {
            capability.tls = true;
        } else if (token.starts_with("k=") && !haveKey && IsKeyId(token.substr(2))) {
            capability.keyId = token.substr(2);
            haveKey = true;
        } else if (token.starts_with("n=") && !haveName) {
            if (std::optional<std::string> name = PercentDecode(token.substr(2))) {
                capability.name = std::move(*name);
                haveName = true;
            }
        }
        if (end == field.size()) {
            break;
        }
        at = end + 1;
    }
    return capability;
}
