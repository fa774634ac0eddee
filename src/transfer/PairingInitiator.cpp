#include "transfer/PairingInitiator.h"

#include <arpa/inet.h>

#include <algorithm>
#include <variant>

#include "net/PortNumber.h"
#include "net/TcpStream.h"
#include "secure/Identity.h"
#include "secure/PairingCode.h"
#include "secure/TlsStream.h"
#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/PairingPrompt.h"
#include "transfer/PairingSteps.h"

namespace {

constexpr std::chrono::seconds kConnectTime{10};

}  // namespace

bool PairingInitiator::ParseTarget(const std::string& text, std::string& address, int& port) {
    const size_t colon = text.find(':');
    const std::string host = text.substr(0, colon);
    in_addr parsed{};
    if (inet_pton(AF_INET, host.c_str(), &parsed) != 1) {
        return false;
    }
    if (colon != std::string::npos) {
        const std::optional<uint16_t> number =
            net::ParsePort(std::string_view(text).substr(colon + 1));
        if (!number) {
            return false;
        }
        port = *number;
    }
    address = host;
    return true;
}

PairingOutcome PairingInitiator::Pair(const std::string& address, int port,
                                      const std::string& ourName, const Waker* stop) {
    const std::string target = address + ":" + std::to_string(port);
    PairingLimiter::Verdict verdict;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        verdict = limiters_[target].Begin(PairingLimiter::Clock::now());
    }
    if (verdict != PairingLimiter::Verdict::Go) {
        PairingOutcome outcome;
        outcome.kind = verdict == PairingLimiter::Verdict::Busy
                           ? PairingOutcome::Kind::Busy
                           : PairingOutcome::Kind::TooManyFailures;
        return outcome;
    }
    PairingOutcome outcome = Steps(address, port, ourName, stop);
    std::lock_guard<std::mutex> guard(mutex_);
    limiters_[target].End(outcome.paired(), PairingLimiter::Clock::now());
    return outcome;
}

PairingOutcome PairingInitiator::Steps(const std::string& address, int port,
                                       const std::string& ourName, const Waker* stop) {
    using Kind = PairingOutcome::Kind;
    PairingOutcome outcome;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (port <= 0 || port > 65535 || inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1) {
        outcome.detail = "that is no address and port";
        return outcome;
    }
    // Every wait has a deadline of its own; the stall limit only backs them up.
    auto tcp =
        std::make_unique<TcpStream>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        PairingPrompt::kAnswerTime + 2 * pairing_steps::kStepTime),
                                    stop);
    tcp->SetDeadline(net::DeadlineAfter(kConnectTime));
    if (!tcp->Create() || !tcp->Connect(peer)) {
        outcome.detail = "cannot connect to " + address;
        return outcome;
    }
    std::string error;
    std::unique_ptr<TlsStream> tls =
        TlsStream::Connect(std::move(tcp), me_, net::DeadlineAfter(kConnectTime), error);
    if (!tls) {
        outcome.detail = "no secure connection (does it run this version of Zingwell?)";
        return outcome;
    }
    outcome.peerKeyHash = tls->peerKeyHash();
    const std::optional<std::vector<unsigned char>> exported =
        tls->ExportKeyingMaterial(pairing::kExporterLabel, frame::kPairBytes);
    if (!exported || outcome.peerKeyHash.empty()) {
        outcome.detail = "the secure session gave no key material";
        tls->Reset();
        return outcome;
    }
    FrameLink link(*tls);
    frame::Hello hello;
    hello.purpose = frame::Purpose::Pairing;
    hello.name = ourName;
    link.SetDeadline(net::DeadlineAfter(pairing_steps::kStepTime));
    if (!link.Send(frame::Encode(hello))) {
        outcome.detail = "the other computer went away";
        tls->Reset();
        return outcome;
    }
    // Its user is asked first.
    const std::optional<frame::Message> theirHello = pairing_steps::Expect(
        link, {frame::Type::Hello}, PairingPrompt::kAnswerTime + pairing_steps::kStepTime);
    if (!theirHello || std::get<frame::Hello>(*theirHello).purpose != frame::Purpose::Pairing) {
        outcome.detail = "the other computer does not pair (does it run this version?)";
        tls->Reset();
        return outcome;
    }
    outcome.peerName = std::get<frame::Hello>(*theirHello).name;
    const std::optional<frame::Message> opening = pairing_steps::Expect(
        link, {frame::Type::PairCommit, frame::Type::PairConfirm}, pairing_steps::kStepTime);
    if (!opening) {
        outcome.detail = "the other computer broke off";
        tls->Reset();
        return outcome;
    }
    if (std::holds_alternative<frame::Confirm>(*opening)) {
        outcome.kind = Kind::PeerDeclined;
        tls->Close();
        return outcome;
    }
    const auto commitment = std::get<frame::Pair>(*opening).bytes;
    const pairing::Nonce ni = pairing::RandomNonce();
    frame::Pair nonce;
    nonce.type = frame::Type::PairNonce;
    std::copy(ni.begin(), ni.end(), nonce.bytes.begin());
    link.SetDeadline(net::DeadlineAfter(pairing_steps::kStepTime));
    if (!link.Send(frame::Encode(nonce))) {
        outcome.detail = "the other computer went away";
        tls->Reset();
        return outcome;
    }
    const std::optional<frame::Message> reveal =
        pairing_steps::Expect(link, {frame::Type::PairReveal}, pairing_steps::kStepTime);
    if (!reveal) {
        outcome.detail = "the other computer sent no valid reveal";
        tls->Reset();
        return outcome;
    }
    const auto nr = std::get<frame::Pair>(*reveal).bytes;
    const pairing::Digest expected =
        pairing::Commitment(me_.keyHash(), outcome.peerKeyHash, *exported, nr);
    if (!pairing::SameDigest(expected, commitment)) {
        outcome.kind = Kind::BadReveal;
        tls->Reset();
        return outcome;
    }
    outcome.code = pairing::Code(me_.keyHash(), outcome.peerKeyHash, *exported, ni, nr);
    if (codeShown_) {
        codeShown_(outcome.code);
    }
    link.SetDeadline(net::kNoDeadline);
    const bool yes = prompt_.ConfirmCode(outcome.code, outcome.peerName, address);
    outcome.kind = pairing_steps::Finish(link, yes, trust_, outcome.peerKeyHash, address,
                                         outcome.peerName, outcome.detail);
    if (outcome.kind == Kind::Failed) {
        tls->Reset();
    } else {
        tls->Close();
    }
    return outcome;
}
