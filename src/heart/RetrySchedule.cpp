#include "heart/RetrySchedule.h"

using namespace std::chrono_literals;

RetrySchedule::RetrySchedule() : RetrySchedule(Pauses{}) {}

RetrySchedule::RetrySchedule(Pauses pauses) : pauses_(std::move(pauses)) {
    if (pauses_.empty()) {
        pauses_ = {10s, 30s, 60s, 300s};
    }
}

std::chrono::milliseconds RetrySchedule::Next() {
    const size_t at = failures_ < pauses_.size() ? failures_ : pauses_.size() - 1;
    ++failures_;
    return pauses_[at];
}
