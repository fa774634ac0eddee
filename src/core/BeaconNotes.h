#pragma once

#include <optional>
#include <string>

#include "core/Capability.h"

// What the two discovery events do not carry: the datagram's source address and the
// announce's capability. Raised on the discovery thread before FoundBuddy or LostBuddy; the
// answer decides whether that event follows at all, so that a datagram the owner does not
// trust changes nothing, not even the listener's own idea of whether a buddy is known.
class BeaconNotes {
public:
    // An announce naming `address` and `port`, heard from `source`. False: ignore it.
    virtual bool Announced(const std::string& source, const std::string& address,
                           const std::string& port,
                           const std::optional<Capability>& capability) = 0;
    // A leave naming `address` (as the datagram says; may be empty), heard from `source`.
    // False: ignore it.
    virtual bool Left(const std::string& source, const std::string& address) = 0;

protected:
    // Never deleted through this interface.
    ~BeaconNotes() = default;
};
