#include "transfer/TcpEnd.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tcp_end {

void SetAbortiveClose(int fd, bool on) {
    const linger value{on ? 1 : 0, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &value, sizeof value);
}

void CloseOrderly(int fd) {
    SetAbortiveClose(fd, false);
    close(fd);
}

void Reset(int fd) {
    SetAbortiveClose(fd, true);
    close(fd);
}

Wait WaitFor(int fd, short events, int wakeFd, std::chrono::milliseconds timeout) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + timeout;
    pollfd waits[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
    for (;;) {
        int ms = -1;
        if (timeout.count() >= 0) {
            const auto left =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
            ms = left < 0 ? 0 : left > 3600000 ? 3600000 : static_cast<int>(left);
        }
        const int n = poll(waits, wakeFd >= 0 ? 2 : 1, ms);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n > 0 && wakeFd >= 0 && (waits[1].revents & POLLIN) != 0) {
            return Wait::Woken;
        }
        if (n > 0) {
            return Wait::Ready;  // the events asked for, or an error or hang-up to find out
        }
        if (n < 0 || Clock::now() >= deadline) {
            return Wait::TimedOut;
        }
    }
}

}  // namespace tcp_end
