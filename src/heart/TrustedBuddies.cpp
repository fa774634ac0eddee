#include "heart/TrustedBuddies.h"

#include "core/ActivityLog.h"
#include "secure/TrustStore.h"

TrustedBuddies::TrustedBuddies(TrustStore& store) : store_(store) {}

bool TrustedBuddies::Refresh(std::string& error) const {
    const bool ok = store_.Reload(error);
    std::lock_guard<std::mutex> guard(mutex_);
    if (ok || !read_) {
        entries_ = ok ? store_.All() : std::vector<TrustEntry>{};
    }
    read_ = true;
    readAt_ = std::chrono::steady_clock::now();
    return ok;
}

std::vector<TrustEntry> TrustedBuddies::Entries() const {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (read_ && std::chrono::steady_clock::now() - readAt_ < kRereadPause) {
            return entries_;
        }
    }
    std::string error;
    if (!Refresh(error)) {
        WriteLog(error + "\n");
    }
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_;
}

std::optional<PairedBuddy> TrustedBuddies::FromEntry(const TrustEntry& entry) {
    constexpr size_t kHashDigits = 64;
    if (entry.state != TrustEntry::State::Paired || entry.key.size() != 2 + kHashDigits ||
        entry.key.compare(0, 2, "k:") != 0) {
        return std::nullopt;
    }
    PairedBuddy buddy;
    buddy.keyHash = entry.key.substr(2);
    buddy.keyId = buddy.keyHash.substr(0, 16);
    buddy.address = entry.lastAddress;
    buddy.name = entry.name;
    return buddy;
}

std::optional<PairedBuddy> TrustedBuddies::Paired() const {
    for (const TrustEntry& entry : Entries()) {
        if (std::optional<PairedBuddy> buddy = FromEntry(entry)) {
            return buddy;
        }
    }
    return std::nullopt;
}

std::optional<PairedBuddy> TrustedBuddies::PairedAt(const std::string& address) const {
    for (const TrustEntry& entry : Entries()) {
        std::optional<PairedBuddy> buddy = FromEntry(entry);
        if (buddy && !address.empty() && buddy->address == address) {
            return buddy;
        }
    }
    return std::nullopt;
}

bool TrustedBuddies::Forget(const std::string& keyHash) {
    // From the file as it is now: another program may have changed it meanwhile.
    std::string error;
    Refresh(error);
    const bool forgotten = store_.Forget(TrustEntry::KeyForHash(keyHash));
    Refresh(error);
    return forgotten;
}

std::optional<TrustEntry::State> TrustedBuddies::StateOf(const std::string& key) const {
    for (const TrustEntry& entry : Entries()) {
        if (entry.key == key) {
            return entry.state;
        }
    }
    return std::nullopt;
}

bool TrustedBuddies::Remember(const TrustEntry& entry) {
    std::string error;
    Refresh(error);
    // Merged under the store's lock: a pairing that ends meanwhile is not overwritten.
    const bool kept = store_.Update(entry.key, [&](const TrustEntry* known) {
        std::optional<TrustEntry> merged = entry;
        if (known == nullptr) {
            return merged;
        }
        if (known->state == TrustEntry::State::Paired) {
            return std::optional<TrustEntry>();
        }
        // One answer changes one thing: a consent keeps the send answer, and the reverse.
        if (merged->state == TrustEntry::State::Known) {
            merged->state = known->state;
        }
        if (merged->sending == TrustEntry::Sending::Unasked) {
            merged->sending = known->sending;
        }
        if (merged->name.empty()) {
            merged->name = known->name;
        }
        return merged;
    });
    Refresh(error);
    return kept;
}
