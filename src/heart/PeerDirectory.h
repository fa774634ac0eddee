#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>

#include "core/Capability.h"

// The latest announce heard from each source address, what it offered included, for the
// sender's choice between TLS and the plain transfer. Bounded: the address heard from longest
// ago goes first.
class PeerDirectory {
public:
    static constexpr size_t kMaxPeers = 64;

    struct Entry {
        std::string source;
        std::string address;  // as the announce names it
        std::string port;
        std::optional<Capability> capability;
    };

    void Record(const std::string& source, const std::string& address, const std::string& port,
                const std::optional<Capability>& capability);
    std::optional<Entry> Find(const std::string& source) const;
    // Whether the latest announce from that very source address offered TLS; its key id
    // (possibly empty) goes to `keyId` when it did.
    bool OffersTls(const std::string& source, std::string* keyId) const;
    size_t Count() const { return entries_.size(); }

private:
    std::deque<Entry> entries_;  // most recent last
};
