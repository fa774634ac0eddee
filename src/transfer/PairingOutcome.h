#pragma once

#include <string>

// How one pairing attempt ended, on either side.
struct PairingOutcome {
    enum class Kind {
        Paired,           // both users confirmed: the other's key is pinned
        Declined,         // our user said No, or did not answer in time
        PeerDeclined,     // the other side declined, or its user said the codes differ
        Busy,             // a pairing is running already (here or there)
        TooManyFailures,  // the limit of failed attempts is reached for now
        BadReveal,        // the responder's nonce does not match its commitment
        Failed,           // the connection, the handshake or a frame failed
    };

    Kind kind = Kind::Failed;
    std::string peerName;     // as its HELLO gave it, for the screen through DisplayName
    std::string peerKeyHash;  // 64 hex digits, once the handshake is done
    std::string code;         // "123 456", once both nonces are known
    std::string detail;       // for Failed: what failed

    bool paired() const { return kind == Kind::Paired; }
    // One sentence for the user.
    std::string Text() const;
};
