#pragma once

#include <string>

#include "transfer/PairingPrompt.h"

// `zingwell --pair`: pairing from a terminal, without a display. The code goes to standard
// output and the answer comes from standard input (unanswered in time is a No).
class TerminalPrompt : public PairingPrompt {
public:
    // Opens this user's key and known computers, pairs with address:port and says how it
    // ended. The exit status: 0 only when paired.
    static int Pair(const std::string& address, int port);

    // Never asked: the terminal only starts pairings.
    bool AskToPair(const std::string&, const std::string&) override { return false; }
    bool ConfirmCode(const std::string& code, const std::string& peerName,
                     const std::string& address) override;
};
