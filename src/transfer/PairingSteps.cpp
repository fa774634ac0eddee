#include "transfer/PairingSteps.h"

#include "secure/TrustEntry.h"
#include "secure/TrustStore.h"
#include "transfer/FrameReader.h"
#include "transfer/PairingPrompt.h"

namespace pairing_steps {

std::optional<frame::Message> Expect(FrameLink& link, std::initializer_list<frame::Type> types,
                                     std::chrono::milliseconds within) {
    link.SetDeadline(net::DeadlineAfter(within));
    FrameReader reader(types);
    if (link.ReadFrame(reader) != FrameLink::Got::Frame) {
        return std::nullopt;
    }
    return reader.message();
}

PairingOutcome::Kind Finish(FrameLink& link, bool ourYes, TrustStore& trust,
                            const std::string& peerKeyHash, const std::string& address,
                            const std::string& peerName, std::string& detail) {
    using Kind = PairingOutcome::Kind;
    link.SetDeadline(net::DeadlineAfter(kStepTime));
    const bool sent = link.Send(frame::Encode(frame::Confirm{ourYes}));
    if (!ourYes) {
        return Kind::Declined;
    }
    if (!sent) {
        detail = "the other computer went away";
        return Kind::Failed;
    }
    const std::optional<frame::Message> theirs =
        Expect(link, {frame::Type::PairConfirm}, PairingPrompt::kAnswerTime + kStepTime);
    if (!theirs) {
        detail = "no answer from the other computer";
        return Kind::Failed;
    }
    if (!std::get<frame::Confirm>(*theirs).matched) {
        return Kind::PeerDeclined;
    }
    // Another process (a terminal pairing) may have changed the file since it was read.
    std::string error;
    trust.Reload(error);
    TrustEntry entry;
    entry.key = TrustEntry::KeyForHash(peerKeyHash);
    entry.state = TrustEntry::State::Paired;
    entry.lastAddress = address;
    entry.name = NameToKeep(peerName, address);
    if (!trust.Put(entry)) {
        detail = "the list of known computers cannot be written";
        return Kind::Failed;
    }
    return Kind::Paired;
}

std::string NameToKeep(const std::string& name, const std::string& address) {
    std::string kept;
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            kept += '?';
        } else {
            kept += c;
        }
    }
    if (kept.size() > 64) {
        size_t cut = 64;
        while (cut > 0 && (static_cast<unsigned char>(kept[cut]) & 0xC0) == 0x80) {
            --cut;
        }
        kept.resize(cut);
    }
    return kept.empty() ? address : kept;
}

}  // namespace pairing_steps
