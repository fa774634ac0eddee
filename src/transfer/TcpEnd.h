#pragma once

#include <chrono>

// How the direct transfer's connections end, and the waits on them. A connection is set to
// end with a reset from the start, so that a process that dies, crashes or gives up never
// leaves its buddy with a clean end of stream; only a transfer that completed lifts that.
namespace tcp_end {

// On: closing the socket (also by the kernel when the process dies) sends a reset.
void SetAbortiveClose(int fd, bool on);
// Closes with an orderly end of stream.
void CloseOrderly(int fd);
// Closes with a reset.
void Reset(int fd);

enum class Wait { Ready, TimedOut, Woken };
// Waits until fd has one of `events` (poll flags), up to `timeout` (negative: no limit), or
// until wakeFd (ignored when negative) becomes readable.
Wait WaitFor(int fd, short events, int wakeFd, std::chrono::milliseconds timeout);

}  // namespace tcp_end
