#include "app/TerminalPrompt.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <optional>

#include "core/DisplayName.h"
#include "net/StartNetwork.h"
#include "secure/Identity.h"
#include "secure/IdentityFolder.h"
#include "secure/TrustStore.h"
#include "settings/InitSettings.h"
#include "settings/LiveSettings.h"
#include "transfer/PairingInitiator.h"

namespace {

// One line from standard input within the answer time; nullopt when none came.
std::optional<std::string> ReadAnswer() {
    const auto end = std::chrono::steady_clock::now() + PairingPrompt::kAnswerTime;
    std::string line;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            return std::nullopt;
        }
        pollfd input{STDIN_FILENO, POLLIN, 0};
        if (poll(&input, 1, static_cast<int>(left.count())) <= 0) {
            return std::nullopt;
        }
        char c = 0;
        const ssize_t n = read(STDIN_FILENO, &c, 1);
        if (n <= 0) {
            return n == 0 && !line.empty() ? std::optional<std::string>(line) : std::nullopt;
        }
        if (c == '\n') {
            return line;
        }
        if (line.size() < 64) {
            line += c;
        }
    }
}

}  // namespace

bool TerminalPrompt::ConfirmCode(const std::string& code, const std::string& peerName,
                                 const std::string& address) {
    printf("%s at %s shows a code. This computer's code:\n\n    %s\n\n",
           DisplayName(peerName.empty() ? address : peerName, 64).c_str(), address.c_str(),
           code.c_str());
    printf(
        "If the codes differ, someone may be listening in between: answer No, and nothing "
        "is paired.\nDo the codes match? [y/N] ");
    fflush(stdout);
    const std::optional<std::string> answer = ReadAnswer();
    if (!answer) {
        printf("\n");
    }
    return answer && (*answer == "y" || *answer == "Y" || *answer == "yes" || *answer == "Yes");
}

int TerminalPrompt::Pair(const std::string& address, int port) {
    StartNetwork();
    const std::string folder = IdentityFolder();
    std::string error;
    if (!MakeIdentityFolder(folder, error)) {
        fprintf(stderr, "zingwell: %s\n", error.c_str());
        return 1;
    }
    std::optional<Identity> identity = Identity::LoadOrCreate(folder, error);
    if (!identity) {
        fprintf(stderr, "zingwell: %s\n", error.c_str());
        return 1;
    }
    TrustStore trust(folder);
    if (!trust.Reload(error)) {
        fprintf(stderr, "zingwell: %s\n", error.c_str());
        return 1;
    }
    if (identity->made() && trust.HasPaired()) {
        fprintf(stderr, "zingwell: %s\n", std::string(Identity::kKeyLostText).c_str());
    }
    LoadSettings();
    std::string name = LiveSettings.Get(LiveSettingsStore::Text::computername);
    if (name.empty()) {
        name = DefaultComputerName();
    }

    printf("Pairing with %s:%d (it must run this version of Zingwell)...\n", address.c_str(), port);
    fflush(stdout);
    TerminalPrompt prompt;
    PairingInitiator initiator(*identity, trust, prompt);
    const auto start = std::chrono::steady_clock::now();
    initiator.SetCodeShown([&](const std::string&) {
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::chrono::steady_clock::now() - start);
        printf("(code after %lld ms)\n", static_cast<long long>(took.count()));
    });
    const PairingOutcome outcome = initiator.Pair(address, port, name);
    printf("%s\n", outcome.Text().c_str());
    if (outcome.paired()) {
        printf("Key of %s: %s\n", DisplayName(outcome.peerName, 64).c_str(),
               Identity::Fingerprint(outcome.peerKeyHash).c_str());
    }
    return outcome.paired() ? 0 : 1;
}
