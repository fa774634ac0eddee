#pragma once

#include <mutex>
#include <string>

#include "secure/PairingLimiter.h"
#include "transfer/Frame.h"
#include "transfer/PairingOutcome.h"

class FrameLink;
class PairingPrompt;
class TlsStream;
class TrustStore;

// The side that was asked to pair (PROTOCOL.md, Pairing), inside a TLS session the receiver
// accepted, after the initiator's HELLO: asks the user, commits to Nr, takes Ni, reveals Nr,
// shows the code and pins the initiator's key when both users confirmed. One pairing at a
// time and at most 3 failures in 10 minutes, over all connections: one per copy. Safe from
// any thread; the store and prompt outlive it.
class PairingResponder {
public:
    PairingResponder(TrustStore& trust, PairingPrompt& prompt) : trust_(trust), prompt_(prompt) {}

    // ourKeyHash: this copy's key; ourName: what our HELLO says; address: the initiator's.
    PairingOutcome Serve(TlsStream& tls, FrameLink& link, const frame::Hello& hello,
                         const std::string& ourKeyHash, const std::string& ourName,
                         const std::string& address);

private:
    PairingOutcome Steps(TlsStream& tls, FrameLink& link, const frame::Hello& hello,
                         const std::string& ourKeyHash, const std::string& ourName,
                         const std::string& address);

    TrustStore& trust_;
    PairingPrompt& prompt_;
    std::mutex mutex_;  // guards the limiter
    PairingLimiter limiter_;
};
