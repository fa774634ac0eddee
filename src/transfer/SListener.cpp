#include "transfer/SListener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <vector>

#include "core/ActivityLog.h"
#include "core/Callback.h"
#include "core/EventCodes.h"
#include "core/ReceiveFolder.h"
#include "core/TransferNotes.h"
#include "net/StartNetwork.h"
#include "transfer/ReceiveSession.h"
#include "transfer/ReceivedFile.h"
#include "transfer/TcpEnd.h"
#include "transfer/WireFormat.h"

namespace {

enum class Ending {
    Stopped,        // the receiver is being destroyed: no events
    Whole,          // a whole file stands under its name, or nothing came at all
    ReadFailed,     // a failed read, or no data for the idle time
    HeaderLate,     // the header was not complete in time
    BadHeader,      // no separator in the first 102400 bytes, or the end inside the header
    Refused,        // the name is not acceptable, or the file cannot be created
    WriteFailed,    // writing the file failed
    Short,          // the stream ended before the announced size
    TooLong,        // more bytes than announced
    PublishFailed,  // the whole file could not be put under its name
};

struct EndReport {
    const char* text;  // the log line; none for a whole file
    int32_t code;      // ReportError's; 0: FinishedSending
};

EndReport ReportFor(Ending ending) {
    switch (ending) {
        case Ending::ReadFailed:
            return {"Listener: recv() failed\n", error_code::kReceiveFailed};
        case Ending::HeaderLate:
        case Ending::BadHeader:
            return {"Listener: no valid header, nothing stored\n", error_code::kReceiveFailed};
        case Ending::Refused:
            return {"Listener: failed to open file for writing\n",
                    error_code::kCannotWriteIncoming};
        case Ending::WriteFailed:
        case Ending::PublishFailed:
            return {"Listener: failed to write the file\n", error_code::kCannotWriteIncoming};
        case Ending::Short:
            return {"Listener: the stream ended before the whole file came, nothing stored\n",
                    error_code::kReceiveFailed};
        case Ending::TooLong:
            return {"Listener: more bytes came than announced, nothing stored\n",
                    error_code::kReceiveFailed};
        case Ending::Stopped:
        case Ending::Whole:
            break;
    }
    return {nullptr, 0};
}

std::string AddressText(uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

// Reads one connection until its stream ends, it fails, or the receiver stops.
Ending Receive(int socket, std::chrono::steady_clock::time_point headerDeadline,
               std::chrono::milliseconds idle, Callback* callback,
               const std::atomic<bool>& stopping, ReceiveSession& session) {
    using Status = ReceiveSession::Status;
    using std::chrono::milliseconds;
    std::vector<char> buffer(wire::kPieceSize);
    for (;;) {
        // Read first: a busy stream seldom needs the wait.
        const ssize_t n = recv(socket, buffer.data(), buffer.size(), MSG_DONTWAIT);
        const int error = errno;
        if (stopping) {
            return Ending::Stopped;
        }
        const auto now = std::chrono::steady_clock::now();
        if (!session.HasHeader() && now >= headerDeadline) {
            return Ending::HeaderLate;
        }
        if (n < 0 && (error == EAGAIN || error == EWOULDBLOCK || error == EINTR)) {
            milliseconds wait = idle;
            bool forHeader = false;
            if (!session.HasHeader()) {
                const auto left = std::chrono::ceil<milliseconds>(headerDeadline - now);
                if (left <= wait) {
                    wait = left;
                    forHeader = true;
                }
            }
            if (tcp_end::WaitFor(socket, POLLIN, -1, wait) == tcp_end::Wait::TimedOut &&
                !stopping) {
                return forHeader ? Ending::HeaderLate : Ending::ReadFailed;
            }
            continue;
        }
        if (n < 0) {
            return Ending::ReadFailed;
        }
        switch (n == 0 ? session.End() : session.Feed(buffer.data(), static_cast<size_t>(n))) {
            case Status::Reading:
                continue;
            case Status::Progress:
                if (callback != nullptr) {
                    callback->ShowProgress(session.received(), session.size());
                }
                continue;
            case Status::Finished:
                return Ending::Whole;
            case Status::BadHeader:
                return Ending::BadHeader;
            case Status::Refused:
                return Ending::Refused;
            case Status::WriteFailed:
                return Ending::WriteFailed;
            case Status::Short:
                return Ending::Short;
            case Status::TooLong:
                return Ending::TooLong;
        }
    }
}

}  // namespace

SListener::SListener() {
    wake_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

SListener::~SListener() {
    stopping_ = true;
    if (wake_ >= 0) {
        const uint64_t one = 1;
        ssize_t ignored = write(wake_, &one, sizeof one);
        (void)ignored;
    }
    std::vector<std::thread> listeners;
    {
        // shutdown(2) wakes the waits; the threads close their own sockets. Only the reading
        // side of a connection is shut: shutting its sending side would tell the buddy that
        // all is well, while the thread will now reset it.
        std::lock_guard<std::mutex> guard(mutex_);
        for (int socket : listenSockets_) {
            shutdown(socket, SHUT_RDWR);
        }
        for (Connection& connection : connections_) {
            if (connection.socket >= 0) {
                shutdown(connection.socket, SHUT_RD);
            }
        }
        listeners.swap(listenThreads_);
    }
    for (std::thread& listener : listeners) {
        listener.join();
    }
    // No listening thread is left to add connections.
    std::list<Connection> ending;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ending.splice(ending.end(), connections_);
    }
    for (Connection& connection : ending) {
        connection.thread.join();
    }
    if (wake_ >= 0) {
        close(wake_);
    }
}

void SListener::SetCallback(Callback* callback) {
    callback_ = callback;
}

int SListener::ActiveConnections() {
    std::lock_guard<std::mutex> guard(mutex_);
    return active_;
}

void SListener::Start(int port) {
    if (!StartNetwork()) {
        WriteLog("Can't talk to the network\n");
    }
    std::lock_guard<std::mutex> guard(mutex_);
    if (stopping_) {
        return;
    }
    try {
        listenThreads_.emplace_back(&SListener::RunListenThread, this, port);
    } catch (const std::system_error&) {
        WriteLog("Listener: socket() failed\n");
    }
}

void SListener::RunListenThread(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        WriteLog("Listener: socket() failed\n");
        return;
    }
    // On Linux this only lets a restart bind while old connections linger in TIME_WAIT; a
    // second listener on the same port is still refused.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted connections start with it: if this process dies, each one is reset.
    tcp_end::SetAbortiveClose(fd, true);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port & 0xFFFF));
    {
        // With address reuse two sockets may both bind a port nobody listens on yet; taking
        // bind and listen together makes the later of two listeners fail at its bind.
        static std::mutex bindMutex;
        std::lock_guard<std::mutex> bindGuard(bindMutex);
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            WriteLog("Listener: bind() failed\n");
            return;
        }
        // A backlog longer than ten: while a flood of connections is being refused, an honest
        // buddy's connection waits its turn instead of having its SYN dropped.
        if (listen(fd, 128) != 0) {
            close(fd);
            WriteLog("Listener: listen() failed\n");
            return;
        }
    }
    {
        // Registered only once listening: a shutdown before listen() would not wake the wait.
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_) {
            close(fd);
            return;
        }
        listenSockets_.push_back(fd);
    }
    socklen_t length = sizeof address;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        int none = 0;
        boundPort_.compare_exchange_strong(none, ntohs(address.sin_port));
    }
    // What an earlier run left half received; files other receivers are writing stay.
    ReceivedFile::RemoveStale(GetReceiveFolder());
    WriteLog("Listening for client...\n");

    for (;;) {
        pollfd waits[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (poll(waits, wake_ >= 0 ? 2 : 1, -1) < 0 && errno != EINTR) {
            WriteLog("Listener: accept() failed\n");
            break;
        }
        if (stopping_) {
            break;
        }
        if ((waits[1].revents & POLLIN) != 0) {
            uint64_t count;
            ssize_t ignored = read(wake_, &count, sizeof count);
            (void)ignored;
            std::lock_guard<std::mutex> guard(mutex_);
            JoinEndedLocked();
        }
        if (waits[0].revents == 0) {
            continue;
        }
        sockaddr_in peer{};
        socklen_t peerLength = sizeof peer;
        const int accepted = accept4(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength,
                                     SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (accepted >= 0) {
            Accepted(accepted, peer.sin_addr.s_addr);
            std::this_thread::yield();
            continue;
        }
        const int error = errno;
        if (error == EAGAIN || error == EWOULDBLOCK || error == EINTR || error == ECONNABORTED ||
            error == EPROTO) {
            continue;
        }
        WriteLog("Listener: accept() failed\n");
        // Running out of descriptors or memory passes; anything else ends the listening.
        if (error == EMFILE || error == ENFILE || error == ENOBUFS || error == ENOMEM) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            continue;
        }
        break;
    }

    std::lock_guard<std::mutex> guard(mutex_);
    listenSockets_.erase(std::find(listenSockets_.begin(), listenSockets_.end(), fd));
    close(fd);
}

void SListener::Accepted(int socket, uint32_t address) {
    tcp_end::SetAbortiveClose(socket, true);
    std::unique_lock<std::mutex> guard(mutex_);
    if (stopping_) {  // the destructor's shutdown pass may be over already
        guard.unlock();
        tcp_end::Reset(socket);
        return;
    }
    JoinEndedLocked();
    if (active_ < kMaxConnections && perAddress_[address] < kMaxPerAddress) {
        connections_.emplace_back();
        Connection& connection = connections_.back();
        connection.socket = socket;
        connection.address = address;
        connection.accepted = std::chrono::steady_clock::now();
        try {
            connection.thread = std::thread(&SListener::RunReceiveThread, this, &connection);
            ++active_;
            ++perAddress_[address];
            return;
        } catch (const std::system_error&) {
            connections_.pop_back();
        }
    }
    if (perAddress_[address] == 0) {
        perAddress_.erase(address);
    }
    guard.unlock();
    WriteLog("Listener: too many connections, one closed\n");
    tcp_end::Reset(socket);
}

void SListener::JoinEndedLocked() {
    for (auto it = connections_.begin(); it != connections_.end();) {
        if (it->done) {
            it->thread.join();  // it has done its last event; it only returns now
            it = connections_.erase(it);
        } else {
            ++it;
        }
    }
}

void SListener::Done(Connection* connection) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        connection->done = true;
        --active_;
        if (--perAddress_[connection->address] <= 0) {
            perAddress_.erase(connection->address);
        }
    }
    if (wake_ >= 0) {
        const uint64_t one = 1;
        ssize_t ignored = write(wake_, &one, sizeof one);
        (void)ignored;
    }
}

void SListener::RunReceiveThread(Connection* connection) {
    Callback* callback = callback_;
    if (callback != nullptr && !stopping_) {
        callback->IncomingFile();
    }
    ReceivedFile file(GetReceiveFolder());
    ReceiveSession session(file);
    const std::chrono::milliseconds idle(idleTimeoutMs_.load());
    const std::chrono::milliseconds header(headerTimeoutMs_.load());
    Ending ending = Receive(connection->socket, connection->accepted + header, idle, callback,
                            stopping_, session);
    // The file stands under its name before the connection closes in order: the sender
    // takes that end as word that the file is there.
    if (ending == Ending::Whole && session.HasFile() && (stopping_ || !file.Publish())) {
        ending = stopping_ ? Ending::Stopped : Ending::PublishFailed;
    }
    file.Discard();
    int socket;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        socket = connection->socket;
        connection->socket = -1;
    }
    if (ending == Ending::Whole) {
        tcp_end::CloseOrderly(socket);
    } else {
        tcp_end::Reset(socket);
    }

    // Everything is closed before the last event: a message box may keep it waiting long.
    if (!stopping_ && ending != Ending::Stopped) {
        const EndReport report = ReportFor(ending);
        if (report.text != nullptr) {
            WriteLog(report.text);
        }
        TransferNotes* notes = notes_;
        if (notes != nullptr && session.HasHeader()) {
            const std::string peer = AddressText(connection->address);
            if (report.code == 0) {
                notes->FileReceived(session.name(), peer);
            } else {
                notes->ReceiveFailed(session.name(), peer);
            }
        }
        if (callback != nullptr) {
            if (report.code == 0) {
                callback->FinishedSending();
            } else {
                callback->ReportError(report.code);
            }
        }
    }
    Done(connection);
}
