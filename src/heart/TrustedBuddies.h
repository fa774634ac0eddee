#pragma once

#include <chrono>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "heart/PairedBuddySource.h"
#include "secure/TrustEntry.h"

class TrustStore;

// The heart's view of the known computers: the trust store, read again at most once a second
// (another command may change the file while we run). A file that cannot be read keeps the
// last good list in force: a paired buddy must never turn into a stranger by a bad read.
class TrustedBuddies : public PairedBuddySource {
public:
    static constexpr std::chrono::milliseconds kRereadPause{1000};

    explicit TrustedBuddies(TrustStore& store);

    std::optional<PairedBuddy> Paired() const override;
    std::optional<PairedBuddy> PairedAt(const std::string& address) const override;
    bool Forget(const std::string& keyHash) override;
    std::optional<TrustEntry::State> StateOf(const std::string& key) const override;
    std::vector<TrustEntry> Known() const override { return Entries(); }
    bool Remember(const TrustEntry& entry) override;

    // Reads the file now; false with the error text when it could not be.
    bool Refresh(std::string& error) const;

private:
    std::vector<TrustEntry> Entries() const;
    static std::optional<PairedBuddy> FromEntry(const TrustEntry& entry);

    TrustStore& store_;
    mutable std::mutex mutex_;
    mutable std::vector<TrustEntry> entries_;  // guarded by mutex_, as the time below
    mutable std::chrono::steady_clock::time_point readAt_{};
    mutable bool read_ = false;
};
