#pragma once

#include <chrono>
#include <cstddef>
#include <vector>

// How long queued files wait before the next try after a failure: a little at first, then
// longer, so that a buddy that is away for the day is not called every few seconds.
class RetrySchedule {
public:
    using Pauses = std::vector<std::chrono::milliseconds>;

    // 10 s, 30 s, 1 min, then every 5 min.
    RetrySchedule();
    // The pauses in order; the last one repeats. Empty: the default.
    explicit RetrySchedule(Pauses pauses);

    // The pause before the next try; each call counts one more failure.
    std::chrono::milliseconds Next();
    // A file went out: the next failure starts again at the first pause.
    void Reset() { failures_ = 0; }
    // The first pause, without counting a failure.
    std::chrono::milliseconds First() const { return pauses_.front(); }
    size_t failures() const { return failures_; }

private:
    Pauses pauses_;
    size_t failures_ = 0;
};
