#pragma once

#include <optional>
#include <string>
#include <vector>

#include "secure/TrustEntry.h"

// The computer this copy is paired with, as the trust store keeps it.
struct PairedBuddy {
    std::string keyHash;    // SHA-256 of its public key, hex
    std::string keyId;      // what its announces carry
    std::string address;    // where it was last heard
    std::string name = {};  // as its user named it (raw bytes), may be empty
};

// Where the heart learns of its paired buddy. Asked on the discovery thread, so an
// implementation answers from any thread.
class PairedBuddySource {
public:
    virtual ~PairedBuddySource() = default;
    virtual std::optional<PairedBuddy> Paired() const = 0;
    // The paired computer last heard at this address, if any.
    virtual std::optional<PairedBuddy> PairedAt(const std::string& address) const {
        std::optional<PairedBuddy> paired = Paired();
        if (paired && paired->address == address) {
            return paired;
        }
        return std::nullopt;
    }
    // The state of a known computer by its trust key ("k:HASH", "a:IPV4"); none: a stranger.
    virtual std::optional<TrustEntry::State> StateOf(const std::string& key) const {
        (void)key;
        return std::nullopt;
    }
    // Every known computer.
    virtual std::vector<TrustEntry> Known() const { return {}; }
    // Keeps the user's decision on a computer; a pairing is never replaced by it. State Known
    // keeps the state it had, Sending Unasked the answer on sending it had. False when it
    // could not be kept.
    virtual bool Remember(const TrustEntry& entry) {
        (void)entry;
        return false;
    }
    // The user's "Forget": the pairing with that key ends. False when nothing changed.
    virtual bool Forget(const std::string& keyHash) {
        (void)keyHash;
        return false;
    }
};
