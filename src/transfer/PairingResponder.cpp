#include "transfer/PairingResponder.h"

#include <algorithm>
#include <variant>

#include "secure/PairingCode.h"
#include "secure/TlsStream.h"
#include "transfer/FrameLink.h"
#include "transfer/PairingPrompt.h"
#include "transfer/PairingSteps.h"

namespace {

std::string OurHello(const std::string& ourName) {
    frame::Hello hello;
    hello.purpose = frame::Purpose::Pairing;
    hello.name = ourName;
    return frame::Encode(hello);
}

}  // namespace

PairingOutcome PairingResponder::Serve(TlsStream& tls, FrameLink& link, const frame::Hello& hello,
                                       const std::string& ourKeyHash, const std::string& ourName,
                                       const std::string& address) {
    PairingLimiter::Verdict verdict;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        verdict = limiter_.Begin(PairingLimiter::Clock::now());
    }
    if (verdict != PairingLimiter::Verdict::Go) {
        // Not even the user is asked: a flood of requests is not a flood of prompts.
        link.SetDeadline(net::DeadlineAfter(pairing_steps::kStepTime));
        link.Send(OurHello(ourName) + frame::Encode(frame::Confirm{false}));
        PairingOutcome outcome;
        outcome.kind = verdict == PairingLimiter::Verdict::Busy
                           ? PairingOutcome::Kind::Busy
                           : PairingOutcome::Kind::TooManyFailures;
        outcome.peerName = hello.name;
        outcome.peerKeyHash = tls.peerKeyHash();
        return outcome;
    }
    PairingOutcome outcome = Steps(tls, link, hello, ourKeyHash, ourName, address);
    std::lock_guard<std::mutex> guard(mutex_);
    limiter_.End(outcome.paired(), PairingLimiter::Clock::now());
    return outcome;
}

PairingOutcome PairingResponder::Steps(TlsStream& tls, FrameLink& link, const frame::Hello& hello,
                                       const std::string& ourKeyHash, const std::string& ourName,
                                       const std::string& address) {
    using Kind = PairingOutcome::Kind;
    PairingOutcome outcome;
    outcome.peerName = hello.name;
    outcome.peerKeyHash = tls.peerKeyHash();
    // The initiator waits for our user as long as we do; the receiver's stall limit is shorter.
    tls.tcp().SetStallTimeout(std::chrono::duration_cast<std::chrono::milliseconds>(
        PairingPrompt::kAnswerTime + 2 * pairing_steps::kStepTime));
    link.SetDeadline(net::kNoDeadline);

    if (!prompt_.AskToPair(hello.name, address)) {
        link.SetDeadline(net::DeadlineAfter(pairing_steps::kStepTime));
        link.Send(OurHello(ourName) + frame::Encode(frame::Confirm{false}));
        outcome.kind = Kind::Declined;
        return outcome;
    }
    const std::optional<std::vector<unsigned char>> exported =
        tls.ExportKeyingMaterial(pairing::kExporterLabel, frame::kPairBytes);
    if (!exported || tls.peerKeyHash().empty() || ourKeyHash.empty()) {
        outcome.detail = "the secure session gave no key material";
        return outcome;
    }
    const pairing::Nonce nr = pairing::RandomNonce();
    frame::Pair commit;
    commit.type = frame::Type::PairCommit;
    const pairing::Digest digest =
        pairing::Commitment(tls.peerKeyHash(), ourKeyHash, *exported, nr);
    std::copy(digest.begin(), digest.end(), commit.bytes.begin());
    link.SetDeadline(net::DeadlineAfter(pairing_steps::kStepTime));
    if (!link.Send(OurHello(ourName) + frame::Encode(commit))) {
        outcome.detail = "the other computer went away";
        return outcome;
    }
    const std::optional<frame::Message> nonce =
        pairing_steps::Expect(link, {frame::Type::PairNonce}, pairing_steps::kStepTime);
    if (!nonce) {
        outcome.detail = "the other computer sent no valid nonce";
        return outcome;
    }
    const auto& ni = std::get<frame::Pair>(*nonce).bytes;
    frame::Pair reveal;
    reveal.type = frame::Type::PairReveal;
    std::copy(nr.begin(), nr.end(), reveal.bytes.begin());
    if (!link.Send(frame::Encode(reveal))) {
        outcome.detail = "the other computer went away";
        return outcome;
    }
    outcome.code = pairing::Code(tls.peerKeyHash(), ourKeyHash, *exported, ni, nr);
    link.SetDeadline(net::kNoDeadline);
    const bool yes = prompt_.ConfirmCode(outcome.code, hello.name, address);
    outcome.kind = pairing_steps::Finish(link, yes, trust_, tls.peerKeyHash(), address, hello.name,
                                         outcome.detail);
    return outcome;
}
