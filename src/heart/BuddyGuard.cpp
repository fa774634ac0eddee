#include "heart/BuddyGuard.h"

bool BuddyGuard::AcceptAnnounce(const std::optional<PairedBuddy>& paired, const std::string& source,
                                const std::string& address,
                                const std::optional<Capability>& capability) {
    if (!paired) {
        return true;
    }
    return capability && !capability->keyId.empty() && capability->keyId == paired->keyId &&
           source == address;
}

bool BuddyGuard::AcceptLeave(const std::optional<PairedBuddy>& paired,
                             const std::string& buddyAddress, const std::string& source) {
    if (!paired) {
        return true;
    }
    const std::string& own = buddyAddress.empty() ? paired->address : buddyAddress;
    return !own.empty() && source == own;
}

bool BuddyGuard::ShouldLog(const std::string& what, const std::string& source,
                           Clock::time_point now) {
    const std::string key = what + '|' + source;
    for (auto it = logged_.begin(); it != logged_.end();) {
        it = now - it->second >= kLogInterval ? logged_.erase(it) : std::next(it);
    }
    if (logged_.count(key) != 0 || logged_.size() >= kMaxLogged) {
        return false;
    }
    logged_.emplace(key, now);
    return true;
}
