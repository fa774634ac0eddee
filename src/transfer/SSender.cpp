#include "transfer/SSender.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <system_error>
#include <vector>

#include "core/ActivityLog.h"
#include "core/Callback.h"
#include "core/DisplayName.h"
#include "core/EventCodes.h"
#include "net/PortNumber.h"
#include "net/StartNetwork.h"
#include "net/TcpStream.h"
#include "transfer/WireFormat.h"

namespace {

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
}

SSender::~SSender() {
    stopping_ = true;
    // Every wait of a transfer watches the waker; the thread then resets its connection.
    wake_.Wake();
    std::list<Worker> ending;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ending.splice(ending.end(), workers_);
    }
    for (Worker& worker : ending) {
        worker.thread.join();
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
        worker.thread = std::thread(&SSender::RunSendThread, this, &worker, address, port, path);
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

void SSender::RunSendThread(Worker* worker, std::string address, std::string port,
                            std::string path) {
    int file = -1;
    const std::chrono::milliseconds stall(stallTimeoutMs_.load());
    // Connecting has no limit of ours: the time-out is the system's own.
    TcpStream stream(TcpStream::kNoStallLimit, &wake_);
    Outcome outcome = Outcome::NoConnection;
    if (Connect(stream, address, port)) {
        stream.SetStallTimeout(stall);
        outcome = Transfer(stream, path, file, stall);
    } else if (stopping_) {
        outcome = Outcome::Stopped;
    }
    // Everything is closed before the last event: a message box may keep it waiting long.
    // Only a confirmed file, or a connection that carried nothing, ends in order.
    if (outcome == Outcome::Sent || outcome == Outcome::CannotOpen) {
        stream.Close();
    } else {
        stream.Reset();
    }
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

SSender::Outcome SSender::Transfer(ByteStream& stream, const std::string& path, int& file,
                                   std::chrono::milliseconds stall) {
    // Non-blocking open, so that a FIFO cannot hang the thread; only plain files are sent.
    file = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info {};
    if (file < 0 || fstat(file, &info) != 0 || !S_ISREG(info.st_mode) ||
        fcntl(file, F_SETFL, 0) != 0) {
        return Outcome::CannotOpen;
    }
    const int64_t size = info.st_size;
    const std::string header = wire::EncodeHeader(wire::NameFromPath(path), size);
    bool ok = Send(stream, header.data(), header.size()) == SendResult::Ok;

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
        const SendResult result = Send(stream, buffer.data(), static_cast<size_t>(n));
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
    stream.EndOutput();  // the end of the stream is the end of the file
    // The buddy closes its side having taken every byte once the file stands under its name.
    if (!stream.AwaitPeerEnd(net::DeadlineAfter(stall))) {
        if (stopping_) {
            return Outcome::Stopped;
        }
        WriteLog("Send(): buddy did not confirm the file\n");
        return Outcome::SendFailed;
    }
    return Outcome::Sent;
}

bool SSender::Connect(TcpStream& stream, const std::string& address, const std::string& port) {
    const std::optional<uint16_t> number = net::ParsePort(port);
    if (!number) {
        if (!stopping_) {
            WriteLog("Send failed: " + DisplayName(port, 64) + " is not a port number\n");
        }
        return false;
    }
    // Non-blocking throughout, so that every wait can be bounded and ended by destruction.
    if (!stream.Create()) {
        return false;
    }
    stream.SetAbortiveClose(true);
    // No name lookup: text that is not a dotted address fails like a refused connection.
    const in_addr_t host = inet_addr(address.c_str());
    bool connected = false;
    if (host != INADDR_NONE && !stopping_) {
        sockaddr_in target{};
        target.sin_family = AF_INET;
        target.sin_addr.s_addr = host;
        target.sin_port = htons(*number);
        connected = stream.Connect(target) && !stopping_;
    }
    if (!connected) {
        if (!stopping_) {
            WriteLog("Failed to connect to ");
            WriteLog(address);
            WriteLog("\n");
        }
        return false;
    }
    WriteLog("Connected to buddy at ");
    WriteLog(address);
    WriteLog("\n");
    return true;
}

SSender::SendResult SSender::Send(ByteStream& stream, const char* data, size_t length) {
    const long n = stream.Write(data, length);
    if (n == static_cast<long>(length)) {
        return SendResult::Ok;
    }
    if (n < 0 && errno == ETIMEDOUT) {
        return SendResult::Stalled;
    }
    if (n < 0 && errno == ECANCELED) {
        return SendResult::Stopped;
    }
    return SendResult::Failed;
}
