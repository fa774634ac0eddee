#include "secure/PairingLimiter.h"

PairingLimiter::Verdict PairingLimiter::Begin(Clock::time_point now) {
    Forget(now);
    if (running_) {
        return Verdict::Busy;
    }
    if (static_cast<int>(failures_.size()) >= kMaxFailures) {
        return Verdict::TooManyFailures;
    }
    running_ = true;
    return Verdict::Go;
}

void PairingLimiter::End(bool succeeded, Clock::time_point now) {
    if (!running_) {
        return;
    }
    running_ = false;
    if (!succeeded) {
        failures_.push_back(now);
    }
    Forget(now);
}

PairingLimiter::Clock::time_point PairingLimiter::NextAllowed(Clock::time_point now) {
    Forget(now);
    if (static_cast<int>(failures_.size()) < kMaxFailures) {
        return now;
    }
    // The oldest failure that still counts must leave the window.
    return failures_[failures_.size() - kMaxFailures] + kWindow;
}

void PairingLimiter::Forget(Clock::time_point now) {
    while (!failures_.empty() && now - failures_.front() >= kWindow) {
        failures_.pop_front();
    }
}
