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
    // A little shorter than the 10-second beacon period: a desktop timer may fire up to 5%
    // early, and the restarted copy's first timer beacon must not fall inside the interval
    // of our last answer, or the meeting would wait a second period.
    static constexpr std::chrono::seconds kInterval{9};
    // Addresses remembered at once; beyond them (a flood of forged announces) nothing is
    // answered but while looking for a buddy, so the answers stay bounded as well.
    static constexpr size_t kMaxAddresses = 64;

    // Whether to answer an announce of `address` heard at `now`; `looking` is true when the
    // beacon timer was running. An answer it allows is remembered.
    bool ShouldAnswer(const std::string& address, bool looking, Clock::time_point now);

private:
    void ForgetOlderThan(Clock::time_point limit);

    std::unordered_map<std::string, Clock::time_point> lastAnswer_;
};
