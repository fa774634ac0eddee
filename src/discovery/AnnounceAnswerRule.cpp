#include "discovery/AnnounceAnswerRule.h"

bool AnnounceAnswerRule::ShouldAnswer(const std::string& address, bool looking,
                                      Clock::time_point now) {
    ForgetOlderThan(now - interval_);
    const auto known = lastAnswer_.find(address);
    if (known != lastAnswer_.end()) {
        if (!looking) {
            return false;  // answered within the interval
        }
        known->second = now;
        return true;
    }
    if (lastAnswer_.size() < kMaxAddresses) {
        lastAnswer_.emplace(address, now);
        return true;
    }
    return looking;
}

void AnnounceAnswerRule::ForgetOlderThan(Clock::time_point limit) {
    for (auto it = lastAnswer_.begin(); it != lastAnswer_.end();) {
        if (it->second <= limit) {
            it = lastAnswer_.erase(it);
        } else {
            ++it;
        }
    }
}
