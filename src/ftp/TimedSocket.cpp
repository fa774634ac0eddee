#include "ftp/TimedSocket.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "ftp/CancelSwitch.h"

namespace {

// Without an event descriptor to watch, a wait looks at the cancel switch this often.
constexpr int kSliceMs = 200;

}  // namespace

TimedSocket::TimedSocket(std::chrono::milliseconds timeout, const CancelSwitch* cancel)
    : timeout_(timeout), cancel_(cancel) {}

TimedSocket::~TimedSocket() {
    Close();
}

bool TimedSocket::Create() {
    Close();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd_ >= 0;
}

bool TimedSocket::Bind(const sockaddr_in& local) {
    return fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool TimedSocket::Connect(const sockaddr_in& peer) {
    return StartConnect(peer) && FinishConnect();
}

bool TimedSocket::StartConnect(const sockaddr_in& peer) {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    if (connect(fd_, reinterpret_cast<const sockaddr*>(&peer), sizeof peer) == 0) {
        connecting_ = false;
        return true;
    }
    if (errno != EINPROGRESS) {
        return false;
    }
    connecting_ = true;
    return true;
}

bool TimedSocket::FinishConnect() {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    if (!connecting_) {
        return true;
    }
    if (WaitFor(POLLOUT) != Wait::Ready) {
        return false;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0) {
        return false;
    }
    if (error != 0) {
        errno = error;
        return false;
    }
    connecting_ = false;
    return true;
}

bool TimedSocket::Listen(int backlog) {
    return fd_ >= 0 && listen(fd_, backlog) == 0;
}

bool TimedSocket::Accept(TimedSocket& target, const in_addr* onlyFrom) {
    if (fd_ < 0 || target.fd_ >= 0) {
        errno = EBADF;
        return false;
    }
    for (;;) {
        if (WaitFor(POLLIN) != Wait::Ready) {
            return false;
        }
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd =
            accept4(fd_, reinterpret_cast<sockaddr*>(&peer), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) {
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return false;
        }
        // Only the server may deliver the file; a stranger who is quicker is turned away.
        if (onlyFrom != nullptr && peer.sin_addr.s_addr != onlyFrom->s_addr) {
            close(fd);
            continue;
        }
        target.fd_ = fd;
        target.connecting_ = false;
        return true;
    }
}

long TimedSocket::Read(char* buffer, size_t capacity) {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        ssize_t n = recv(fd_, buffer, capacity, 0);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return -1;
        }
        if (WaitFor(POLLIN) != Wait::Ready) {
            return -1;
        }
    }
}

long TimedSocket::Write(const char* data, size_t length) {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    size_t done = 0;
    while (done < length) {
        ssize_t n = send(fd_, data + done, length - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (WaitFor(POLLOUT) == Wait::Ready) {
                continue;
            }
            return -1;
        }
        break;
    }
    if (done == 0 && length > 0) {
        return -1;
    }
    return static_cast<long>(done);
}

bool TimedSocket::LocalAddress(sockaddr_in& address) const {
    socklen_t length = sizeof address;
    return fd_ >= 0 && getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           address.sin_family == AF_INET;
}

bool TimedSocket::PeerAddress(sockaddr_in& address) const {
    socklen_t length = sizeof address;
    return fd_ >= 0 && getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           address.sin_family == AF_INET;
}

void TimedSocket::Close() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    connecting_ = false;
}

bool TimedSocket::SetAbortiveClose(bool on) {
    const linger setting{on ? 1 : 0, 0};
    return fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_LINGER, &setting, sizeof setting) == 0;
}

void TimedSocket::Reset() {
    SetAbortiveClose(true);
    Close();
}

bool TimedSocket::HasInput() const {
    pollfd entry{fd_, POLLIN, 0};
    return fd_ >= 0 && poll(&entry, 1, 0) > 0 && entry.revents != 0;
}

TimedSocket::Wait TimedSocket::WaitFor(short events) const {
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = std::min(Clock::now() + timeout_, deadline_);
    const int cancelFd = cancel_ != nullptr ? cancel_->fd() : -1;
    for (;;) {
        if (cancel_ != nullptr && cancel_->tripped()) {
            errno = ECANCELED;
            return Wait::Cancelled;
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0) {
            errno = ETIMEDOUT;
            return Wait::TimedOut;
        }
        int slice = static_cast<int>(std::min<long long>(left, 1000 * 1000));
        if (cancel_ != nullptr && cancelFd < 0) {
            slice = std::min(slice, kSliceMs);
        }
        pollfd entries[2] = {{fd_, events, 0}, {cancelFd, POLLIN, 0}};
        const int n = poll(entries, cancelFd >= 0 ? 2 : 1, slice);
        if (n < 0) {
            if (errno == EINTR) {
                continue;
            }
            return Wait::Failed;
        }
        if (n > 0 && cancelFd >= 0 && (entries[1].revents & POLLIN) != 0) {
            errno = ECANCELED;
            return Wait::Cancelled;
        }
        // Errors and hang-ups count as ready: the next call reports them.
        if (n > 0 && entries[0].revents != 0) {
            return Wait::Ready;
        }
    }
}
