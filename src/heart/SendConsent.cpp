#include "heart/SendConsent.h"

#include <vector>

#include "heart/PairedBuddySource.h"

std::string SendConsent::KeyFor(const PairedBuddySource* trust, const std::string& address,
                                const std::string& keyId) {
    if (keyId.empty()) {
        return TrustEntry::KeyForAddress(address);
    }
    if (trust != nullptr) {
        const std::string whole = TrustEntry::KeyForHash(keyId);
        for (const TrustEntry& entry : trust->Known()) {
            if (entry.key.size() > whole.size() && entry.key.compare(0, whole.size(), whole) == 0) {
                return entry.key;
            }
        }
    }
    return TrustEntry::KeyForKeyId(keyId);
}

SendConsent::Verdict SendConsent::For(const PairedBuddySource* trust, const std::string& address,
                                      const std::string& keyId) {
    if (trust == nullptr) {
        return Verdict::Ask;
    }
    const std::string key = KeyFor(trust, address, keyId);
    for (const TrustEntry& entry : trust->Known()) {
        if (entry.key != key) {
            continue;
        }
        if (entry.state == TrustEntry::State::Paired ||
            entry.sending == TrustEntry::Sending::Confirmed) {
            return Verdict::Send;
        }
        return entry.sending == TrustEntry::Sending::Refused ? Verdict::NotThis : Verdict::Ask;
    }
    return Verdict::Ask;
}

bool SendConsent::Remember(PairedBuddySource* trust, const std::string& address,
                           const std::string& keyId, const std::string& name, bool send) {
    if (trust == nullptr) {
        return false;
    }
    TrustEntry entry;
    entry.key = KeyFor(trust, address, keyId);
    entry.state = TrustEntry::State::Known;  // the answer on its files stays as it was
    entry.lastAddress = address;
    entry.name = name;
    entry.sending = send ? TrustEntry::Sending::Confirmed : TrustEntry::Sending::Refused;
    return trust->Remember(entry);
}
