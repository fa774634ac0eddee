#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

#include "core/Capability.h"
#include "heart/PairedBuddySource.h"

// Which discovery datagrams may change the buddy. Unpaired, every one does, as it always
// has. Once paired, only an announce carrying the paired key id, sent from the very address
// it names, can set the buddy, and only a leave from the buddy's own address can drop it:
// a stranger on the LAN can no longer draw our queue to itself or make us forget the buddy.
// (A source address can be forged too; the pinned key decides before any file moves.)
class BuddyGuard {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds kLogInterval{60};
    static constexpr size_t kMaxLogged = 64;

    static bool AcceptAnnounce(const std::optional<PairedBuddy>& paired, const std::string& source,
                               const std::string& address,
                               const std::optional<Capability>& capability);
    // `buddyAddress`: where the buddy was found, empty when it was not (then the paired
    // buddy's last address counts).
    static bool AcceptLeave(const std::optional<PairedBuddy>& paired,
                            const std::string& buddyAddress, const std::string& source);

    // Whether an ignored datagram of a kind (`what`) from `source` is worth a log line now:
    // one a minute per kind and address at most, so that a flood cannot fill the log.
    bool ShouldLog(const std::string& what, const std::string& source, Clock::time_point now);

private:
    std::unordered_map<std::string, Clock::time_point> logged_;
};
