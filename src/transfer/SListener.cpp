#include "transfer/SListener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <system_error>
#include <vector>

#include "core/ActivityLog.h"
#include "core/Callback.h"
#include "core/ReceiveFolder.h"
#include "net/StartNetwork.h"
#include "transfer/ReceiveSession.h"
#include "transfer/ReceivedFile.h"
#include "transfer/WireFormat.h"

namespace {

// A connection's last event, after its log line.
void ReportEnd(Callback* callback, bool readFailed, ReceiveSession::Status status) {
    using Status = ReceiveSession::Status;
    const char* text = nullptr;
    int32_t code = 0;
    if (readFailed) {
        text = "Listener: recv() failed\n";
        code = 5;
    } else if (status == Status::BadHeader) {
        text = "Listener: no valid header, nothing stored\n";
        code = 5;
    } else if (status == Status::Refused) {
        text = "Listener: failed to open file for writing\n";
        code = 3;
    } else if (status == Status::WriteFailed) {
        text = "Listener: failed to write the file\n";
        code = 3;
    }
    if (text != nullptr) {
        WriteLog(text);
    }
    if (callback == nullptr) {
        return;
    }
    if (code != 0) {
        callback->ReportError(code);
    } else {
        callback->FinishedSending();
    }
}

}  // namespace

SListener::SListener() = default;

SListener::~SListener() {
    stopping_ = true;
    names_.Stop();
    std::vector<std::thread> listeners;
    {
        // shutdown(2) wakes accept() and recv(); the threads close their own sockets.
        std::lock_guard<std::mutex> guard(mutex_);
        for (int socket : listenSockets_) {
            shutdown(socket, SHUT_RDWR);
        }
        for (Connection& connection : connections_) {
            if (connection.socket >= 0) {
                shutdown(connection.socket, SHUT_RDWR);
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
}

void SListener::SetCallback(Callback* callback) {
    callback_ = callback;
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
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        WriteLog("Listener: socket() failed\n");
        return;
    }
    // On Linux this only lets a restart bind while old connections linger in TIME_WAIT; a
    // second listener on the same port is still refused.
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
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
        if (listen(fd, 10) != 0) {
            close(fd);
            WriteLog("Listener: listen() failed\n");
            return;
        }
    }
    {
        // Registered only once listening: a shutdown before listen() would not wake accept().
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
    WriteLog("Listening for client...\n");

    for (;;) {
        int accepted = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (stopping_) {
            if (accepted >= 0) {
                close(accepted);
            }
            break;
        }
        if (accepted >= 0) {
            Accepted(accepted);
            std::this_thread::yield();
            continue;
        }
        const int error = errno;
        if (error == EINTR || error == ECONNABORTED || error == EPROTO) {
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

void SListener::Accepted(int socket) {
    const int64_t idle = idleTimeoutMs_;
    timeval timeout{};
    timeout.tv_sec = static_cast<time_t>(idle / 1000);
    timeout.tv_usec = static_cast<suseconds_t>((idle % 1000) * 1000);
    setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    std::unique_lock<std::mutex> guard(mutex_);
    if (stopping_) {  // the destructor's shutdown pass may be over already
        guard.unlock();
        close(socket);
        return;
    }
    JoinEndedLocked();
    if (active_ < kMaxConnections) {
        connections_.emplace_back();
        Connection& connection = connections_.back();
        connection.socket = socket;
        try {
            connection.thread = std::thread(&SListener::RunReceiveThread, this, &connection);
            ++active_;
            return;
        } catch (const std::system_error&) {
            connections_.pop_back();
        }
    }
    guard.unlock();
    WriteLog("Listener: too many connections, one closed\n");
    close(socket);
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

void SListener::EndConnection(Connection* connection) {
    std::lock_guard<std::mutex> guard(mutex_);
    close(connection->socket);
    connection->socket = -1;
    --active_;
}

void SListener::RunReceiveThread(Connection* connection) {
    const int socket = connection->socket;
    Callback* callback = callback_;
    if (callback != nullptr && !stopping_) {
        callback->IncomingFile();
    }
    ReceivedFile file(GetReceiveFolder(), names_);
    ReceiveSession session(file);
    std::vector<char> buffer(wire::kPieceSize);
    ReceiveSession::Status status = ReceiveSession::Status::Reading;
    bool readFailed = false;
    for (;;) {
        const ssize_t n = recv(socket, buffer.data(), buffer.size(), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (stopping_) {
            break;
        }
        if (n < 0) {  // a failure, or no data for the idle time-out
            readFailed = true;
            break;
        }
        status = n == 0 ? session.End() : session.Feed(buffer.data(), static_cast<size_t>(n));
        if (status == ReceiveSession::Status::Reading) {
            continue;
        }
        if (status != ReceiveSession::Status::Progress) {
            break;
        }
        if (callback != nullptr) {
            callback->ShowProgress(session.received(), session.size());
        }
    }
    // Everything is closed before the last event: a message box may keep it waiting long.
    file.Close();
    EndConnection(connection);

    if (!stopping_) {
        ReportEnd(callback, readFailed, status);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    connection->done = true;
}
