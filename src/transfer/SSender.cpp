#include "transfer/SSender.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <system_error>
#include <vector>

#include "core/ActivityLog.h"
#include "core/Callback.h"
#include "net/StartNetwork.h"
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
    std::list<Worker> ending;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (socket_ >= 0) {
            shutdown(socket_, SHUT_RDWR);  // wakes a blocked send()
        }
        ending.splice(ending.end(), workers_);
    }
    for (Worker& worker : ending) {
        if (worker.thread.get_id() == std::this_thread::get_id()) {
            worker.thread
                .detach();  // destroyed from inside its own event: it cannot wait for itself
        } else {
            worker.thread.join();
        }
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
    CloseSocket(false);
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
                    callback->ReportError(1);
                    break;
                case Outcome::Sent:
                    callback->FinishedSending();
                    break;
                case Outcome::SendFailed:
                    callback->ReportError(4);
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
    bool ok = Send(header.data(), header.size());

    std::vector<char> buffer(wire::kPieceSize);
    int64_t sent = 0;
    while (ok) {
        const ssize_t n = ReadPiece(file, buffer.data(), buffer.size());
        if (n < 0) {
            // The receiver must not take a cut-off file for a whole one: reset the connection
            // instead of ending the stream.
            WriteLog("Send failed trying to read file\n");
            CloseSocket(true);
            return stopping_ ? Outcome::Stopped : Outcome::SendFailed;
        }
        if (n == 0) {
            break;
        }
        ok = Send(buffer.data(), static_cast<size_t>(n));
        if (!ok) {
            WriteLog("Send(): socket error\n");
        }
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
    {
        std::lock_guard<std::mutex> guard(mutex_);
        shutdown(socket_, SHUT_WR);  // the end of the stream is the end of the file
    }
    if (stopping_) {
        return Outcome::Stopped;
    }
    return ok ? Outcome::Sent : Outcome::SendFailed;
}

bool SSender::ConnectToBuddy(const std::string& address, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
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
            // Non-blocking only so that the destructor can end the wait; the time-out is
            // still the system's own.
            pollfd waits[2] = {{fd, POLLOUT, 0}, {wake_[0], POLLIN, 0}};
            while (poll(waits, wake_[0] >= 0 ? 2 : 1, -1) < 0 && errno == EINTR) {
            }
            int error = 0;
            socklen_t length = sizeof error;
            connected = !stopping_ && (waits[0].revents & (POLLOUT | POLLERR | POLLHUP)) != 0 &&
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
        }
    }
    const int flags = fcntl(fd, F_GETFL);
    if (!connected || flags < 0 || fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        if (!stopping_) {
            WriteLog("Failed to connect to ");
            WriteLog(address);
            WriteLog("\n");
        }
        return false;
    }
    return true;
}

bool SSender::Send(const char* data, size_t length) {
    int fd;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        fd = socket_;
    }
    size_t done = 0;
    while (done < length) {
        const ssize_t n = send(fd, data + done, length - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return false;
        }
        if (static_cast<size_t>(n) == length) {
            return true;  // the whole piece in one call
        }
        // Taken in part: give the connection a moment before offering the rest.
        Pause(100);
        done += static_cast<size_t>(n);
    }
    return true;
}

void SSender::Pause(int ms) {
    if (wake_[0] < 0) {
        poll(nullptr, 0, ms);
        return;
    }
    pollfd wait{wake_[0], POLLIN, 0};
    poll(&wait, 1, ms);
}

void SSender::CloseSocket(bool abort) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (socket_ < 0) {
        return;
    }
    if (abort) {
        const linger reset{1, 0};
        setsockopt(socket_, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(socket_);
    socket_ = -1;
}
