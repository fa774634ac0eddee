#pragma once

#include <chrono>
#include <optional>
#include <string>

#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/PairingOutcome.h"

class TrustStore;

// The steps both ends of a pairing share: one expected frame within a deadline, and the
// closing exchange of PAIR_CONFIRMs that decides whether the other's key is pinned.
namespace pairing_steps {

// How long a frame the other side sends at once may take.
inline constexpr std::chrono::seconds kStepTime{30};

// The next frame, which must be of the given type (PAIR_* or HELLO); nullopt for anything else
// (another type, a malformed payload, the end, a failed or late read).
std::optional<frame::Message> Expect(FrameLink& link, std::initializer_list<frame::Type> types,
                                     std::chrono::milliseconds within);

// Sends our PAIR_CONFIRM (ourYes), then, if we said yes, waits for the other's (its user may
// take kAnswerTime). Pins the peer's key (state Paired, address, name) only when both said
// yes. Returns Paired, Declined, PeerDeclined or Failed (trust file not written, no answer).
PairingOutcome::Kind Finish(FrameLink& link, bool ourYes, TrustStore& trust,
                            const std::string& peerKeyHash, const std::string& address,
                            const std::string& peerName, std::string& detail);

// A peer's name as it will be kept: at most 64 bytes, whole characters, else its address.
std::string NameToKeep(const std::string& name, const std::string& address);

}  // namespace pairing_steps
