#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "secure/PairingLimiter.h"
#include "transfer/PairingOutcome.h"

class Identity;
class PairingPrompt;
class TrustStore;
class Waker;

// The side whose user asked to pair (PROTOCOL.md, Pairing): connects over TLS to the typed or
// announced address (the one TLS connection to a peer not known to speak it: the user asked),
// says HELLO, takes the commitment, sends Ni, checks the reveal, shows the code and pins the
// responder's key when both users confirmed. At most 3 failed attempts in 10 minutes per
// target. Pair runs on the caller's thread; safe from several.
class PairingInitiator {
public:
    PairingInitiator(const Identity& me, TrustStore& trust, PairingPrompt& prompt)
        : me_(me), trust_(trust), prompt_(prompt) {}

    // "ADDRESS[:PORT]" (dotted IPv4, port 1 to 65535); port is left as it is when none given.
    static bool ParseTarget(const std::string& text, std::string& address, int& port);

    // Called once the code is known, before the user is asked (for the time it took).
    void SetCodeShown(std::function<void(const std::string& code)> shown) {
        codeShown_ = std::move(shown);
    }
    // address: dotted IPv4; stop (may be null) ends every wait at once when woken.
    PairingOutcome Pair(const std::string& address, int port, const std::string& ourName,
                        const Waker* stop = nullptr);

private:
    PairingOutcome Steps(const std::string& address, int port, const std::string& ourName,
                         const Waker* stop);

    const Identity& me_;
    TrustStore& trust_;
    PairingPrompt& prompt_;
    std::function<void(const std::string&)> codeShown_;
    std::mutex mutex_;  // guards the limiters
    std::map<std::string, PairingLimiter> limiters_;
};
