#pragma once

#include <string>

// What a copy's announce says it can do beyond the plain transfer: take TLS on its receive
// port, under which key, and the name its user gave the computer (raw bytes, never shown
// without DisplayName).
struct Capability {
    bool tls = false;
    std::string keyId;  // 16 lowercase hex digits, or empty
    std::string name;   // at most 64 bytes

    bool operator==(const Capability&) const = default;
};
