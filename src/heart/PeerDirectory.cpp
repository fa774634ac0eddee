#include "heart/PeerDirectory.h"

#include <algorithm>

void PeerDirectory::Record(const std::string& source, const std::string& address,
                           const std::string& port, const std::optional<Capability>& capability) {
    const auto same = std::find_if(entries_.begin(), entries_.end(),
                                   [&](const Entry& entry) { return entry.source == source; });
    if (same != entries_.end()) {
        entries_.erase(same);
    } else if (entries_.size() >= kMaxPeers) {
        entries_.pop_front();
    }
    entries_.push_back(Entry{source, address, port, capability});
}

std::optional<PeerDirectory::Entry> PeerDirectory::Find(const std::string& source) const {
    const auto found = std::find_if(entries_.begin(), entries_.end(),
                                    [&](const Entry& entry) { return entry.source == source; });
    if (found == entries_.end()) {
        return std::nullopt;
    }
    return *found;
}

bool PeerDirectory::OffersTls(const std::string& source, std::string* keyId) const {
    const std::optional<Entry> entry = Find(source);
    if (!entry || !entry->capability || !entry->capability->tls) {
        return false;
    }
    if (keyId != nullptr) {
        *keyId = entry->capability->keyId;
    }
    return true;
}
