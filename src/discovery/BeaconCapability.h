#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/Capability.h"

// The announce's fourth field: "zw1;tls;k=KEYID;n=NAME", tokens separated by ';'. Copies built
// without it read only three fields, so it passes them unseen.
class BeaconCapability {
public:
    static constexpr size_t kKeyIdLength = 16;
    static constexpr size_t kMaxName = 64;         // bytes of the name itself
    static constexpr size_t kMaxEncodedName = 96;  // bytes after "n="

    // The field offering TLS under `keyId` (left out unless 16 lowercase hex digits), with
    // `name` cut at a character boundary to fit both bounds and percent-encoded (left out
    // when empty).
    static std::string Encode(const std::string& keyId, const std::string& name);
    // The field as another copy sent it. Nothing when the first token is not "zw1"; a token
    // that is unknown or malformed is passed over; of a key or name given twice the first
    // well-formed one counts.
    static std::optional<Capability> Decode(std::string_view field);

    static bool IsKeyId(std::string_view text);
};
