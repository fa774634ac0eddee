#pragma once

#include <string>

#include "secure/TrustEntry.h"

class PairedBuddySource;

// Whether queued files may go to a computer that discovery found but that is not paired: the
// user's answer to "Send your files to NAME?", kept in the trust store by key (the key id it
// announced, or its whole key once known) or, for a plain peer, by address.
class SendConsent {
public:
    enum class Verdict { Send, Ask, NotThis };

    // trust may be null: then every such computer is asked about, and nothing is kept.
    // keyId: the 16 hex digits of its announce, empty for a plain peer.
    static Verdict For(const PairedBuddySource* trust, const std::string& address,
                       const std::string& keyId);
    // Keeps the answer; false when it could not be kept.
    static bool Remember(PairedBuddySource* trust, const std::string& address,
                         const std::string& keyId, const std::string& name, bool send);

private:
    // The trust key it is known by: a whole key whose id this is, else the id, else the address.
    static std::string KeyFor(const PairedBuddySource* trust, const std::string& address,
                              const std::string& keyId);
};
