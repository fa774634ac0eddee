#pragma once

#include <chrono>

class Waker;

// The one bounded wait on a descriptor: every socket wait in Zingwell goes through here.
namespace net {

using Clock = std::chrono::steady_clock;
inline constexpr Clock::time_point kNoDeadline = Clock::time_point::max();

enum class Wait {
    Ready,     // the events asked for, or an error or hang-up for the next call to find
    TimedOut,  // the deadline passed (errno ETIMEDOUT)
    Woken,     // the waker was woken (errno ECANCELED)
    Failed,    // poll itself failed
};

// Now plus timeout; a negative or unending timeout gives no deadline.
Clock::time_point DeadlineAfter(std::chrono::milliseconds timeout);

// Waits until fd has one of `events` (poll flags), until `deadline`, or until the waker
// (may be null) is woken. A negative fd waits for the deadline or the waker alone.
Wait WaitFor(int fd, short events, const Waker* waker, Clock::time_point deadline);

}  // namespace net
