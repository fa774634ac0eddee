#pragma once

#include <optional>
#include <string>

// The computer this copy is paired with, as the trust store keeps it.
struct PairedBuddy {
    std::string keyHash;  // SHA-256 of its public key, hex
    std::string keyId;    // what its announces carry
    std::string address;  // where it was last heard
};

// Where the heart learns of its paired buddy. Asked on the discovery thread, so an
// implementation answers from any thread.
class PairedBuddySource {
public:
    virtual ~PairedBuddySource() = default;
    virtual std::optional<PairedBuddy> Paired() const = 0;
};
