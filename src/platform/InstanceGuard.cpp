#include "platform/InstanceGuard.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "platform/HandOverMessage.h"

namespace {

using Clock = std::chrono::steady_clock;

// A hand-over larger than this is not one of ours.
constexpr size_t kLargestMessage = 8 << 20;
// How long a connected copy may take to say what it wants.
constexpr auto kReadLimit = std::chrono::seconds(2);
constexpr char kAnswer = '1';
// Callers served at once; more than that many at a time are not starts of ours.
constexpr size_t kMostCallers = 64;

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
        listen(listenFd_, 64) != 0) {
        CloseFd(listenFd_);
        return Claim::Unavailable;
    }
    return Claim::Ours;
}

bool InstanceGuard::HandOver(const std::vector<std::string>& paths,
                             std::chrono::milliseconds patience,
                             const std::string& activationToken) const {
    const auto deadline = Clock::now() + patience;
    if (activationToken.empty()) {
        return Send(HandOverMessage::Encode(paths), deadline) == Reply::Answered;
    }
    // A copy of an older version knows no token: it hangs up, and is told again without.
    const Reply reply = Send(HandOverMessage::Encode(paths, activationToken), deadline);
    return reply == Reply::Answered ||
           (reply == Reply::Refused &&
            Send(HandOverMessage::Encode(paths), deadline) == Reply::Answered);
}

InstanceGuard::Reply InstanceGuard::Send(const std::string& message,
                                         Clock::time_point deadline) const {
    const SocketAddress address(SocketPath());
    if (folder_.empty() || !address.ok()) {
        return Reply::None;
    }
    int fd = -1;
    while (fd < 0) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            return Reply::None;
        }
        if (connect(fd, address.get(), address.size()) == 0) {
            break;
        }
        CloseFd(fd);
        // The copy holding the lock may not have made its socket yet.
        if (Clock::now() >= deadline) {
            return Reply::None;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    char answer = 0;
    Reply reply = Reply::None;
    if (SendAll(fd, message, deadline) && shutdown(fd, SHUT_WR) == 0 &&
        WaitFor(fd, POLLIN, deadline)) {
        const ssize_t got = read(fd, &answer, 1);
        reply = got == 1 && answer == kAnswer ? Reply::Answered
                : got == 0                    ? Reply::Refused
                                              : Reply::None;
    }
    close(fd);
    return reply;
}

void InstanceGuard::Serve(std::function<void(std::vector<std::string>)> onHandOver) {
    Serve([onHandOver = std::move(onHandOver)](HandOverMessage::Request request) {
        onHandOver(std::move(request.paths));
    });
}

void InstanceGuard::Serve(std::function<void(HandOverMessage::Request)> onHandOver) {
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
    // Callers are served side by side, each within its own deadline, so that callers that
    // connect and say nothing cannot hold up a start that has files to hand over.
    struct Caller {
        int fd;
        Clock::time_point deadline;
        std::string message;
    };
    std::vector<Caller> callers;
    auto drop = [&](size_t i) {
        close(callers[i].fd);
        callers.erase(callers.begin() + static_cast<std::ptrdiff_t>(i));
    };
    for (;;) {
        std::vector<pollfd> entries = {{wake_[0], POLLIN, 0}, {listenFd_, POLLIN, 0}};
        long long wait = -1;  // until the first caller's deadline, if any
        const auto now = Clock::now();
        for (const Caller& caller : callers) {
            entries.push_back({caller.fd, POLLIN, 0});
            const long long left = std::max<long long>(
                0, std::chrono::ceil<std::chrono::milliseconds>(caller.deadline - now).count());
            wait = wait < 0 ? left : std::min(wait, left);
        }
        if (poll(entries.data(), entries.size(), static_cast<int>(wait)) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (entries[0].revents != 0) {
            for (const Caller& caller : callers) {
                close(caller.fd);
            }
            return;
        }
        // Backwards, so that dropping one leaves the others' places as they were.
        for (size_t i = callers.size(); i-- > 0;) {
            const Progress progress = entries[i + 2].revents != 0
                                          ? Read(callers[i].fd, callers[i].message)
                                          : Progress::More;
            if (progress == Progress::Whole) {
                Answer(callers[i].fd, callers[i].message);
            }
            // Done, or too slow however much it says: not one of ours, or stuck.
            if (progress != Progress::More || Clock::now() >= callers[i].deadline) {
                drop(i);
            }
        }
        if (entries[1].revents != 0) {
            const int connection =
                accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
            // The folder is private already; a peer of another user is refused all the same.
            ucred peer{};
            socklen_t size = sizeof peer;
            if (connection >= 0 &&
                (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0 ||
                 peer.uid != getuid())) {
                close(connection);
            } else if (connection >= 0) {
                if (callers.size() >= kMostCallers) {
                    drop(0);  // the oldest has had the longest to speak
                }
                callers.push_back({connection, Clock::now() + kReadLimit, {}});
            }
        }
    }
}

InstanceGuard::Progress InstanceGuard::Read(int connection, std::string& message) {
    char buffer[65536];
    for (;;) {
        const ssize_t got = read(connection, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            return errno == EAGAIN || errno == EWOULDBLOCK ? Progress::More : Progress::Failed;
        }
        if (got == 0) {
            return Progress::Whole;
        }
        message.append(buffer, static_cast<size_t>(got));
        if (message.size() > kLargestMessage) {
            return Progress::Failed;
        }
    }
}

void InstanceGuard::Answer(int connection, const std::string& message) {
    std::optional<HandOverMessage::Request> request = HandOverMessage::DecodeRequest(message);
    if (!request) {
        return;
    }
    onHandOver_(std::move(*request));
    send(connection, &kAnswer, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
}
