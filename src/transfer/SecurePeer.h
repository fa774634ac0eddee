#pragma once

#include <string>

// Which key must answer a secure send: a paired computer's whole key hash, or, for one not
// paired, the key id its latest announce gave (the first 16 hex digits of the hash).
struct SecurePeer {
    std::string keyHash;  // 64 lowercase hex digits, or empty
    std::string keyId;    // 16 lowercase hex digits, used when keyHash is empty

    // Whether the hash the TLS handshake showed is the one expected. Nothing expected: false.
    bool Accepts(const std::string& peerKeyHash) const {
        if (!keyHash.empty()) {
            return peerKeyHash == keyHash;
        }
        return keyId.size() == 16 && peerKeyHash.size() == 64 &&
               peerKeyHash.compare(0, keyId.size(), keyId) == 0;
    }
};
