#pragma once

#include <chrono>
#include <string>

#include "core/IncomingBatch.h"

// What the dog's tooltip says while a group of files comes in: files n of m, bytes, the rate
// since the group began and the time left at that rate.
class IncomingStatus {
public:
    using Clock = std::chrono::steady_clock;

    explicit IncomingStatus(Clock::time_point start) : start_(start) {}

    // "Receiving Photos from 10.0.0.2: file 13 of 312, 40.1 MB of 1.2 GB, 11.2 MB/s, about
    // 2 min left" (the rate and time once there is a rate to tell).
    std::string Text(const IncomingBatch& batch, Clock::time_point now) const;
    // Whether a new text is due: at most two a second, and always when a file ended.
    bool Due(const IncomingBatch& batch, Clock::time_point now);

    // "1.2 GB", "40.1 MB", "512 bytes" (decimal units, one decimal under 100).
    static std::string Bytes(uint64_t bytes);
    // "about 2 min left", "about 40 s left", "about 3 h left".
    static std::string TimeLeft(double seconds);

private:
    Clock::time_point start_;
    Clock::time_point lastShown_{};
    uint32_t lastDone_ = UINT32_MAX;
};
