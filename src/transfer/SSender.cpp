#include "transfer/SSender.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "core/ActivityLog.h"
#include "core/Callback.h"
#include "core/EventCodes.h"
#include "net/StartNetwork.h"
#include "transfer/TcpEnd.h"
#include "transfer/WireFormat.h"

namespace {

// The port text read as a decimal number; text that is not a number gives 0.
int ParsePort(const std::string& text) {
    return static_cast<int>(strtol(text.c_str(), nullptr, 10) & 0xFFFF);
}

// Fills the buffer unless the file ends first: the bytes read, or -1 on a read error.
ssize_t ReadPiece(int file, char* buffer, size_t capacity) {
    size_t filled = 0;
    while (filled < capacity) {
        ssize_t n = read(file, buffer + filled, capacity - filled);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        filled += static_cast<size_t>(n);
    }
    return static_cast<ssize_t>(filled);
}

}  // namespace

SSender::SSender() {
    if (!StartNetwork()) {
        WriteLog("Can't talk to the network\n");
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        wake_[0] = wake_[1] = -1;
    }
}

SSender::~SSender() {
    stopping_ = true;
    if (wake_[1] >= 0) {
        const char byte = 1;
        ssize_t ignored = write(wake_[1], &byte, 1);
        (void)ignored;
    }
    // Every wait of a transfer watches the pipe; the thread then resets its connection.
    std::list<Worker> ending;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ending.splice(ending.end(), workers_);
    }
    for (Worker& worker : ending) {
        worker.thread.join();
    }
    for (int fd : wake_) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void SSender::SetCallback(Callback* callback) {
    callback_ = callback;
}

bool SSender::SendFile(const std::string& address, const std::string& port,
                       const std::string& path) {
    if (stopping_ || busy_.exchange(true)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    JoinEndedLocked();
    workers_.emplace_back();
    Worker& worker = workers_.back();
    try {
        worker.thread =
            std::thread(&SSender::RunSendThread, this, &worker, address, ParsePort(port), path);
    } catch (const std::system_error&) {
        workers_.pop_back();
        busy_ = false;
        return false;
    }
    return true;
}

void SSender::JoinEndedLocked() {
    for (auto it = workers_.begin(); it != workers_.end();) {
        if (it->done) {
            it->thread.join();  // past its last event: it only returns now
            it = workers_.erase(it);
        } else {
            ++it;
        }
    }
}

void SSender::RunSendThread(Worker* worker, std::string address, int port, std::string path) {
    int file = -1;
    const Outcome outcome = Transfer(address, port, path, file);
    // Everything is closed before the last event: a message box may keep it waiting long.
    // Only a confirmed file, or a connection that carried nothing, ends in order.
    CloseSocket(outcome == Outcome::Sent || outcome == Outcome::CannotOpen);
    if (file >= 0) {
        close(file);
    }
    Callback* callback = callback_;
    busy_ = false;
    if (!stopping_ && outcome != Outcome::Stopped) {
        if (outcome == Outcome::CannotOpen) {
            WriteLog("Send failed trying to read file\n");
        } else if (outcome == Outcome::SendFailed) {
            WriteLog("Send failed\n");
        }
        if (callback != nullptr) {
            switch (outcome) {
                case Outcome::NoConnection:
                    callback->FoundBuddy(nullptr, nullptr);
                    break;
                case Outcome::CannotOpen:
                    callback->ReportError(error_code::kCannotOpenToSend);
                    break;
                case Outcome::Sent:
                    callback->FinishedSending();
                    break;
                case Outcome::SendFailed:
                    callback->ReportError(error_code::kSendFailed);
                    break;
                case Outcome::Stopped:
                    break;
            }
        }
    }
    std::lock_guard<std::mutex> guard(mutex_);
    worker->done = true;
}

SSender::Outcome SSender::Transfer(const std::string& address, int port, const std::string& path,
                                   int& file) {
    if (!ConnectToBuddy(address, port)) {
        return stopping_ ? Outcome::Stopped : Outcome::NoConnection;
    }
    WriteLog("Connected to buddy at ");
    WriteLog(address);
    WriteLog("\n");

    // Non-blocking open, so that a FIFO cannot hang the thread; only plain files are sent.
    file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode) ||
        fcntl(file, F_SETFL, 0) != 0) {
        return Outcome::CannotOpen;
    }
    const int64_t size = info.st_size;
    const std::string header = wire::EncodeHeader(wire::NameFromPath(path), size);
    bool ok = Send(header.data(), header.size()) == SendResult::Ok;

    // The buddy takes exactly the announced size: a file that grows meanwhile is sent up to
    // it, one that shrinks fails.
    std::vector<char> buffer(wire::kPieceSize);
    int64_t taken = 0;
    int64_t sent = 0;
    while (ok) {
        const size_t want =
            static_cast<size_t>(std::min<int64_t>(size - taken, int64_t(buffer.size())));
        if (want == 0) {
            break;
        }
        const ssize_t n = ReadPiece(file, buffer.data(), want);
        if (n < static_cast<ssize_t>(want)) {
            if (stopping_) {
                return Outcome::Stopped;
            }
            WriteLog(n < 0 ? "Send failed trying to read file\n"
                           : "Send failed: the file got shorter while it was sent\n");
            return Outcome::SendFailed;
        }
        const SendResult result = Send(buffer.data(), static_cast<size_t>(n));
        ok = result == SendResult::Ok;
        if (result == SendResult::Failed) {
            WriteLog("Send(): socket error\n");
        } else if (result == SendResult::Stalled) {
            WriteLog("Send(): buddy stopped reading\n");
        }
        taken += n;
        if (static_cast<size_t>(n) < buffer.size()) {
            break;  // the last, partial piece goes without a progress report
        }
        if (ok) {
            sent += n;
        }
        Callback* callback = callback_;
        if (callback != nullptr && !stopping_) {
            callback->ShowProgress(sent, size);
        }
    }
    if (stopping_) {
        return Outcome::Stopped;
    }
    if (!ok) {
        return Outcome::SendFailed;
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        shutdown(socket_, SHUT_WR);  // the end of the stream is the end of the file
    }
    if (!AwaitConfirmation()) {
        if (stopping_) {
            return Outcome::Stopped;
        }
        WriteLog("Send(): buddy did not confirm the file\n");
        return Outcome::SendFailed;
    }
    return Outcome::Sent;
}

bool SSender::ConnectToBuddy(const std::string& address, int port) {
    // Non-blocking throughout, so that every wait can be bounded and ended by destruction.
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    tcp_end::SetAbortiveClose(fd, true);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        socket_ = fd;
    }
    // No name lookup: text that is not a dotted address fails like a refused connection.
    const in_addr_t host = inet_addr(address.c_str());
    bool connected = false;
    if (host != INADDR_NONE && !stopping_) {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = host;
        target.sin_port = htons(static_cast<uint16_t>(port));
        if (connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0) {
            connected = true;
        } else if (errno == EINPROGRESS) {
            // The time-out is the system's own.
            const tcp_end::Wait waited =
                tcp_end::WaitFor(fd, POLLOUT, wake_[0], std::chrono::milliseconds(-1));
            int error = 0;
            socklen_t length = sizeof error;
            connected = !stopping_ && waited == tcp_end::Wait::Ready &&
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
    }
    if (!connected) {
        if (!stopping_) {
            WriteLog("Failed to connect to ");
            WriteLog(address);
            WriteLog("\n");
        }
        return false;
    }
    return true;
}

SSender::SendResult SSender::Send(const char* data, size_t length) {
    int fd;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        fd = socket_;
    }
    const std::chrono::milliseconds stall(stallTimeoutMs_.load());
    size_t done = 0;
    while (done < length) {
        const ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            return SendResult::Failed;
        }
        // The connection has taken what it can: wait for room.
        switch (tcp_end::WaitFor(fd, POLLOUT, wake_[0], stall)) {
            case tcp_end::Wait::Ready:
                break;
            case tcp_end::Wait::TimedOut:
                return SendResult::Stalled;
            case tcp_end::Wait::Woken:
                return SendResult::Stopped;
        }
    }
    return SendResult::Ok;
}

bool SSender::AwaitConfirmation() {
    int fd;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        fd = socket_;
    }
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(stallTimeoutMs_.load());
    char scrap[4096];
    for (;;) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 ||
            tcp_end::WaitFor(fd, POLLIN, wake_[0], left) != tcp_end::Wait::Ready) {
            return false;
        }
        const ssize_t n = recv(fd, scrap, sizeof scrap, MSG_DONTWAIT);
        if (n > 0 || (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK))) {
            continue;  // a buddy has nothing to say; whatever it sends is passed over
        }
        if (n < 0) {
            return false;  // reset
        }
        // The buddy closed its side. It read the whole stream only if its system took every
        // byte and the end: one that closed early answers what came later with a reset.
        for (;;) {
            int error = 0;
            socklen_t length = sizeof error;
            int unacknowledged = 0;
            if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
                return false;
            }
            if (ioctl(fd, SIOCOUTQ, &unacknowledged) != 0 || unacknowledged == 0) {
                return true;
            }
            if (stopping_ || Clock::now() >= deadline) {
                return false;
            }
            Pause(10);
        }
    }
}

void SSender::Pause(int ms) {
    if (wake_[0] < 0) {
        poll(nullptr, 0, ms);
        return;
    }
    pollfd wait{wake_[0], POLLIN, 0};
    poll(&wait, 1, ms);
}

void SSender::CloseSocket(bool orderly) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (socket_ < 0) {
        return;
    }
    if (orderly) {
        tcp_end::CloseOrderly(socket_);
    } else {
        tcp_end::Reset(socket_);
    }
    socket_ = -1;
}
