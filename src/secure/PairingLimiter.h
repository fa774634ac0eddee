#pragma once

#include <chrono>
#include <deque>

// One pairing at a time, and at most kMaxFailures failed attempts in kWindow: a man in the
// middle gets one guess in a million per attempt, and few attempts. Pure: the caller gives
// the time and guards it.
class PairingLimiter {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr int kMaxFailures = 3;
    static constexpr std::chrono::minutes kWindow{10};

    enum class Verdict { Go, Busy, TooManyFailures };

    // Go marks a pairing as running; the others say why it may not start.
    Verdict Begin(Clock::time_point now);
    // Ends the running pairing; a failure counts for kWindow.
    void End(bool succeeded, Clock::time_point now);
    bool running() const { return running_; }
    // When the next attempt may begin after TooManyFailures.
    Clock::time_point NextAllowed(Clock::time_point now);

private:
    void Forget(Clock::time_point now);

    std::deque<Clock::time_point> failures_;
    bool running_ = false;
};
