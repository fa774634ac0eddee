#include "net/Wait.h"

#include <errno.h>
#include <poll.h>

#include <algorithm>

#include "net/Waker.h"

namespace net {

namespace {

// Without an event descriptor to watch, a wait looks at the waker this often.
constexpr long long kSliceMs = 200;
// poll's limit is an int; longer waits go in steps of this.
constexpr long long kLongestPollMs = 3600000;

}  // namespace

Clock::time_point DeadlineAfter(std::chrono::milliseconds timeout) {
    const Clock::time_point now = Clock::now();
    if (timeout.count() < 0 ||
        timeout > std::chrono::duration_cast<std::chrono::milliseconds>(kNoDeadline - now)) {
        return kNoDeadline;
    }
    return now + timeout;
}

Wait WaitFor(int fd, short events, const Waker* waker, Clock::time_point deadline) {
    const int wakeFd = waker != nullptr ? waker->fd() : -1;
    pollfd entries[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        if (waker != nullptr && waker->woken()) {
            errno = ECANCELED;
            return Wait::Woken;
        }
        long long slice = -1;
        if (deadline != kNoDeadline) {
            // Compared first: a deadline long past (time_point::min(), "only look") would
            // overflow the subtraction.
            const Clock::time_point now = Clock::now();
            const auto left = deadline <= now
                                  ? std::chrono::milliseconds(0)
                                  : std::chrono::ceil<std::chrono::milliseconds>(deadline - now);
            if (left.count() <= 0) {
                errno = ETIMEDOUT;
                return Wait::TimedOut;
            }
            slice = std::min<long long>(left.count(), kLongestPollMs);
        }
        if (waker != nullptr && wakeFd < 0) {
            slice = slice < 0 ? kSliceMs : std::min(slice, kSliceMs);
        }
        const int n = poll(entries, 2, static_cast<int>(slice));
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Wait::Failed;
        }
        if (n > 0 && (entries[1].revents & POLLIN) != 0) {
            errno = ECANCELED;
            return Wait::Woken;
        }
        if (n > 0 && entries[0].revents != 0) {
            return Wait::Ready;
        }
    }
}

}  // namespace net
