#pragma once

#include <string>

// What the six transfer events do not carry about a secure send: how it ended, so that a
// refusal or a changed identity reaches the owner as such. Raised on the sending thread, just
// before the transfer's last event.
class SendNotes {
public:
    enum class Outcome {
        Delivered,         // the buddy acknowledged the file: it stands under its name there
        Refused,           // the buddy refused it; reason says why, in its words
        IdentityMismatch,  // another key answered: nothing was sent
        NotSecure,         // no secure session came about (no key here, a failed handshake)
        Failed,            // the session broke, or the buddy spoke out of turn
    };
    virtual void SecureSendEnded(Outcome outcome, const std::string& reason) = 0;
    // The expected key answered and the session is about to carry the file.
    virtual void SecureSessionStarted(const std::string& /*peerKeyHash*/,
                                      const std::string& /*cipher*/) {}

protected:
    // Never deleted through this interface.
    ~SendNotes() = default;
};
