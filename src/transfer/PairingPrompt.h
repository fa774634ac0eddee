#pragma once

#include <chrono>
#include <string>

// What a pairing asks of this computer's user. Called on the pairing's own thread, which
// waits for the answer; the screen's side must not block anything else meanwhile. Names come
// from the network: shown only after DisplayName.
class PairingPrompt {
public:
    // A question left unanswered this long is a No.
    static constexpr std::chrono::minutes kAnswerTime{2};

    virtual ~PairingPrompt() = default;
    // The responder's first question: may NAME at ADDRESS pair with this computer?
    virtual bool AskToPair(const std::string& name, const std::string& address) = 0;
    // Both sides: does the code on this screen match the one on the other?
    virtual bool ConfirmCode(const std::string& code, const std::string& peerName,
                             const std::string& address) = 0;
};
