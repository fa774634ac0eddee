#include "net/TcpStream.h"

#include <errno.h>
#include <linux/sockios.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "net/Waker.h"

namespace {

// How often the peer's taking of our last bytes is looked at once it ended its side.
constexpr std::chrono::milliseconds kAcknowledgePoll{10};

}  // namespace

TcpStream::TcpStream(std::chrono::milliseconds stall, const Waker* waker)
    : stall_(stall), waker_(waker) {}

TcpStream::~TcpStream() {
    Release();
}

void TcpStream::Release() {
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    connecting_ = false;
}

bool TcpStream::Create() {
    Release();
    fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    return fd_ >= 0;
}

bool TcpStream::Bind(const sockaddr_in& local) {
    return fd_ >= 0 && bind(fd_, reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

bool TcpStream::SetReuseAddress() {
    const int one = 1;
    return fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0;
}

bool TcpStream::Connect(const sockaddr_in& peer) {
    return StartConnect(peer) && FinishConnect();
}

bool TcpStream::StartConnect(const sockaddr_in& peer) {
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

bool TcpStream::FinishConnect() {
    if (fd_ < 0) {
        errno = EBADF;
        return false;
    }
    if (!connecting_) {
        return true;
    }
    if (WaitFor(POLLOUT) != net::Wait::Ready) {
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

bool TcpStream::Listen(int backlog) {
    return fd_ >= 0 && listen(fd_, backlog) == 0;
}

bool TcpStream::TryAccept(TcpStream& target, sockaddr_in* peer) {
    if (fd_ < 0 || target.fd_ >= 0) {
        errno = EBADF;
        return false;
    }
    sockaddr_in address{};
    socklen_t length = sizeof address;
    const int fd =
        accept4(fd_, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        return false;
    }
    if (peer != nullptr) {
        *peer = address;
    }
    target.fd_ = fd;
    target.connecting_ = false;
    return true;
}

bool TcpStream::Accept(TcpStream& target, const in_addr* onlyFrom) {
    if (fd_ < 0 || target.fd_ >= 0) {
        errno = EBADF;
        return false;
    }
    for (;;) {
        if (WaitFor(POLLIN) != net::Wait::Ready) {
            return false;
        }
        sockaddr_in peer{};
        if (!TryAccept(target, &peer)) {
            if (errno == EAGAIN || errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return false;
        }
        // Only the server may deliver the file; a stranger who is quicker is turned away.
        if (onlyFrom != nullptr && peer.sin_addr.s_addr != onlyFrom->s_addr) {
            target.Release();
            continue;
        }
        return true;
    }
}

long TcpStream::Read(char* buffer, size_t capacity) {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    for (;;) {
        // Read first: a busy stream seldom needs the wait.
        const ssize_t n = recv(fd_, buffer, capacity, 0);
        if (n >= 0) {
            return static_cast<long>(n);
        }
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
            return -1;
        }
        if (WaitFor(POLLIN) != net::Wait::Ready) {
            return -1;
        }
    }
}

long TcpStream::Peek(char* buffer, size_t capacity) {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    ssize_t n;
    do {
        n = recv(fd_, buffer, capacity, MSG_PEEK | MSG_DONTWAIT);
    } while (n < 0 && errno == EINTR);
    return static_cast<long>(n);
}

long TcpStream::Write(const char* data, size_t length) {
    if (fd_ < 0) {
        errno = EBADF;
        return -1;
    }
    size_t done = 0;
    while (done < length) {
        const ssize_t n = send(fd_, data + done, length - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // The connection has taken what it can: wait for room.
            if (WaitFor(POLLOUT) == net::Wait::Ready) {
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

net::Wait TcpStream::WaitFor(Direction direction, net::Clock::time_point deadline) {
    return net::WaitFor(fd_, direction == Direction::Readable ? POLLIN : POLLOUT, waker_,
                        std::min(deadline, deadline_));
}

net::Wait TcpStream::WaitFor(short events) const {
    return net::WaitFor(fd_, events, waker_, std::min(net::DeadlineAfter(stall_), deadline_));
}

bool TcpStream::EndOutput() {
    return fd_ >= 0 && shutdown(fd_, SHUT_WR) == 0;
}

bool TcpStream::AwaitPeerEnd(net::Clock::time_point deadline) {
    deadline = std::min(deadline, deadline_);
    char scrap[4096];
    for (;;) {
        if (net::WaitFor(fd_, POLLIN, waker_, deadline) != net::Wait::Ready) {
            return false;
        }
        const ssize_t n = recv(fd_, scrap, sizeof scrap, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))) {
            continue;  // a peer has nothing to say; whatever it sends is passed over
        }
        if (n < 0) {
            return false;  // reset
        }
        // The peer closed its side. It read the whole stream only if its system took every
        // byte and the end: one that closed early answers what came later with a reset.
        for (;;) {
            int error = 0;
            socklen_t length = sizeof error;
            int unacknowledged = 0;
            if (getsockopt(fd_, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
                return false;
            }
            if (ioctl(fd_, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0) {
                return true;
            }
            const net::Clock::time_point pause = net::DeadlineAfter(kAcknowledgePoll);
            if (net::WaitFor(-1, 0, waker_, std::min(pause, deadline)) == net::Wait::Woken ||
                net::Clock::now() >= deadline) {
                return false;
            }
        }
    }
}

void TcpStream::Close() {
    SetAbortiveClose(false);
    Release();
}

void TcpStream::Reset() {
    SetAbortiveClose(true);
    Release();
}

bool TcpStream::Interrupt() {
    return fd_ >= 0 && shutdown(fd_, SHUT_RDWR) == 0;
}

bool TcpStream::SetAbortiveClose(bool on) {
    const linger setting{on ? 1 : 0, 0};
    return fd_ >= 0 && setsockopt(fd_, SOL_SOCKET, SO_LINGER, &setting, sizeof setting) == 0;
}

bool TcpStream::HasInput() const {
    pollfd entry{fd_, POLLIN, 0};
    return fd_ >= 0 && poll(&entry, 1, 0) > 0 && entry.revents != 0;
}

bool TcpStream::LocalAddress(sockaddr_in& address) const {
    socklen_t length = sizeof address;
    return fd_ >= 0 && getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           address.sin_family == AF_INET;
}

bool TcpStream::PeerAddress(sockaddr_in& address) const {
    socklen_t length = sizeof address;
    return fd_ >= 0 && getpeername(fd_, reinterpret_cast<sockaddr*>(&address), &length) == 0 &&
           address.sin_family == AF_INET;
}
