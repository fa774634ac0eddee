#include "platform/InstanceGuard.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

#include "platform/HandOverMessage.h"

namespace {

using Clock = std::chrono::steady_clock;

// A hand-over larger than this is not one of ours.
constexpr size_t kLargestMessage = 8 << 20;
// How long a connected copy may take to say what it wants.
constexpr auto kReadLimit = std::chrono::seconds(2);
constexpr char kAnswer = '1';

// The socket's address. A folder too long for sun_path is reached through a descriptor of it
// (/proc/self/fd/N/...), which Linux resolves for bind and connect alike.
class SocketAddress {
public:
    explicit SocketAddress(const std::string& path) {
        address_.sun_family = AF_UNIX;
        std::string name = path;
        if (name.size() >= sizeof address_.sun_path) {
            const size_t slash = path.rfind('/');
            folderFd_ = open(path.substr(0, slash).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
            if (folderFd_ < 0) {
                return;
            }
            name = "/proc/self/fd/" + std::to_string(folderFd_) + path.substr(slash);
        }
        if (name.size() < sizeof address_.sun_path) {
            memcpy(address_.sun_path, name.c_str(), name.size());
            ok_ = true;
        }
    }
    ~SocketAddress() {
        if (folderFd_ >= 0) {
            close(folderFd_);
        }
    }
    bool ok() const { return ok_; }
    const sockaddr* get() const { return reinterpret_cast<const sockaddr*>(&address_); }
    socklen_t size() const { return sizeof address_; }

private:
    sockaddr_un address_{};
    int folderFd_ = -1;
    bool ok_ = false;
};

// Waits for fd to be ready for events until the deadline; false when it did not become so.
bool WaitFor(int fd, short events, Clock::time_point deadline) {
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0) {
            return false;
        }
        pollfd entry{fd, events, 0};
        const int ready = poll(&entry, 1, static_cast<int>(left.count()));
        if (ready > 0) {
            return true;
        }
        if (ready < 0 && errno != EINTR) {
            return false;
        }
    }
}

// Sends it all by the deadline; a copy that went away meanwhile is an error, not a SIGPIPE.
bool SendAll(int fd, const std::string& bytes, Clock::time_point deadline) {
    size_t sent = 0;
    while (sent < bytes.size()) {
        const ssize_t n =
            send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        // A copy that does not read (still starting, hung or stopped) fills the socket.
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && WaitFor(fd, POLLOUT, deadline)) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        sent += static_cast<size_t>(n);
    }
    return true;
}

void CloseFd(int& fd) {
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

}  // namespace

InstanceGuard::InstanceGuard(std::string folder) : folder_(std::move(folder)) {}

InstanceGuard::~InstanceGuard() {
    Stop();
    if (listenFd_ >= 0) {
        CloseFd(listenFd_);
        unlink(SocketPath().c_str());
    }
    CloseFd(lockFd_);
}

InstanceGuard::Claim InstanceGuard::TryClaim() {
    if (folder_.empty()) {
        return Claim::Unavailable;
    }
    // Close-on-exec: a program we open for the user must not inherit the lock and keep it.
    lockFd_ = open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd_ < 0) {
        return Claim::Unavailable;
    }
    if (flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        const bool taken = errno == EWOULDBLOCK;
        CloseFd(lockFd_);
        return taken ? Claim::Taken : Claim::Unavailable;
    }
    // Holding the lock, any socket left there is a dead copy's.
    unlink(SocketPath().c_str());
    const SocketAddress address(SocketPath());
    listenFd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (!address.ok() || listenFd_ < 0 || bind(listenFd_, address.get(), address.size()) != 0 ||
        listen(listenFd_, 16) != 0) {
        CloseFd(listenFd_);
        return Claim::Unavailable;
    }
    return Claim::Ours;
}

bool InstanceGuard::HandOver(const std::vector<std::string>& paths,
                             std::chrono::milliseconds patience) const {
    const auto deadline = Clock::now() + patience;
    const SocketAddress address(SocketPath());
    if (folder_.empty() || !address.ok()) {
        return false;
    }
    int fd = -1;
    while (fd < 0) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return false;
        }
        if (connect(fd, address.get(), address.size()) == 0) {
            break;
        }
        CloseFd(fd);
        // The copy holding the lock may not have made its socket yet.
        if (Clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const std::string message = HandOverMessage::Encode(paths);
    char answer = 0;
    const bool ok = SendAll(fd, message, deadline) && shutdown(fd, SHUT_WR) == 0 &&
                    WaitFor(fd, POLLIN, deadline) && read(fd, &answer, 1) == 1 && answer == kAnswer;
    close(fd);
    return ok;
}

void InstanceGuard::Serve(std::function<void(std::vector<std::string>)> onHandOver) {
    if (listenFd_ < 0 || thread_.joinable() || pipe2(wake_, O_CLOEXEC) != 0) {
        return;
    }
    onHandOver_ = std::move(onHandOver);
    thread_ = std::thread([this] { ServeLoop(); });
}

void InstanceGuard::Stop() {
    if (thread_.joinable()) {
        const char byte = 0;
        [[maybe_unused]] ssize_t ignored = write(wake_[1], &byte, 1);
        thread_.join();
    }
    CloseFd(wake_[0]);
    CloseFd(wake_[1]);
}

void InstanceGuard::ServeLoop() {
    for (;;) {
        pollfd entries[2] = {{listenFd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(entries, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (entries[1].revents != 0) {
            return;
        }
        const int connection = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (connection >= 0) {
            Answer(connection);
            close(connection);
        }
    }
}

void InstanceGuard::Answer(int connection) {
    // The folder is private already; a peer of another user is refused all the same.
    ucred peer{};
    socklen_t size = sizeof peer;
    if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
        peer.uid != getuid()) {
        return;
    }
    const auto deadline = Clock::now() + kReadLimit;
    std::string message;
    char buffer[65536];
    for (;;) {
        if (!WaitFor(connection, POLLIN, deadline)) {
            return;  // too slow: not one of ours, or stuck
        }
        const ssize_t got = read(connection, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return;
        }
        if (got == 0) {
            break;
        }
        message.append(buffer, static_cast<size_t>(got));
        if (message.size() > kLargestMessage) {
            return;
        }
    }
    std::optional<std::vector<std::string>> paths = HandOverMessage::Decode(message);
    if (!paths) {
        return;
    }
    onHandOver_(std::move(*paths));
    send(connection, &kAnswer, 1, MSG_NOSIGNAL);
}
