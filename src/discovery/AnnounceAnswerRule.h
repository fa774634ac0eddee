#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <unordered_map>

// When a copy answers an announce it hears with an announce of its own. While it is still
// looking for a buddy (its beacon timer runs) it always answers, so that a newcomer learns of
// it at once. Once it knows a buddy it still answers, so that a copy that restarted after a
// crash (and never said it left) finds it again, but at most once per interval per announced
// address: two copies then fall silent after a few datagrams, and no announce, however often
// it comes, can draw more than one answer per address and interval.
class AnnounceAnswerRule {
public:
    using Clock = std::chrono::steady_clock;
    // The interval is the beacon period: a restarted copy's first timer beacon comes a period
    // after its start beacon, so it falls outside the interval of our last answer (the drop
    // window's beacon timer is a precise one, never early). The drop window's period is 10 s.
    static constexpr std::chrono::milliseconds kDefaultInterval{10000};
    // Addresses remembered at once; beyond them (a flood of forged announces) nothing is
    // answered but while looking for a buddy, so the answers stay bounded as well.
    static constexpr size_t kMaxAddresses = 64;

    explicit AnnounceAnswerRule(Clock::duration interval = kDefaultInterval)
        : interval_(interval) {}

    // Whether to answer an announce of `address` heard at `now`; `looking` is true when the
    // beacon timer was running. An answer it allows is remembered.
    bool ShouldAnswer(const std::string& address, bool looking, Clock::time_point now);

private:
    void ForgetOlderThan(Clock::time_point limit);

    Clock::duration interval_;
    std::unordered_map<std::string, Clock::time_point> lastAnswer_;
};
