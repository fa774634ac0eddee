#include "transfer/SListener.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/tcp.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <ctime>
#include <system_error>
#include <vector>

#include "core/ActivityLog.h"
#include "core/Callback.h"
#include "core/DisplayName.h"
#include "core/EventCodes.h"
#include "core/ReceiveFolder.h"
#include "core/TransferNotes.h"
#include "net/PortNumber.h"
#include "net/StartNetwork.h"
#include "net/TcpStream.h"
#include "net/Wait.h"
#include "secure/Identity.h"
#include "secure/TlsStream.h"
#include "transfer/PairingResponder.h"
#include "transfer/PartResume.h"
#include "transfer/PartStore.h"
#include "transfer/ReceiveLoop.h"
#include "transfer/ReceiveSession.h"
#include "transfer/ReceivedFile.h"
#include "transfer/SecureReceive.h"

namespace {

using receive_loop::Ending;

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
        case Ending::Declined:  // AskConsent said why
            return {nullptr, error_code::kReceiveFailed};
        case Ending::Stopped:
        case Ending::Whole:
            break;
    }
    return {nullptr, 0};
}

enum class Opening { Undecided, Plain, Tls };

// A TLS record of a handshake starts 16 03 01..04; no acceptable file name starts with a
// control byte, so a plain stream is told from it by its first bytes.
Opening Classify(const unsigned char* first, size_t length) {
    if (length >= 1 && first[0] != 0x16) {
        return Opening::Plain;
    }
    if (length >= 2 && first[1] != 0x03) {
        return Opening::Plain;
    }
    if (length >= 3) {
        return first[2] >= 0x01 && first[2] <= 0x04 ? Opening::Tls : Opening::Plain;
    }
    return Opening::Undecided;
}

// Looks at the first bytes without taking them. Anything but a TLS hello by the deadline
// (an end, a failure, a stop, silence) goes to the plain receiver, which finds it again.
Opening Sniff(TcpStream& stream, net::Clock::time_point deadline, const Waker& stop) {
    // How often a begun prefix is looked at again: poll would report the bytes already there.
    constexpr std::chrono::milliseconds kPrefixPause{10};
    unsigned char first[3];
    for (;;) {
        const long n = stream.Peek(reinterpret_cast<char*>(first), sizeof first);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
            return Opening::Plain;
        }
        if (n > 0) {
            const Opening opening = Classify(first, static_cast<size_t>(n));
            if (opening != Opening::Undecided) {
                return opening;
            }
        }
        const net::Wait waited =
            n > 0 ? net::WaitFor(-1, 0, &stop, std::min(net::DeadlineAfter(kPrefixPause), deadline))
                  : stream.WaitFor(ByteStream::Direction::Readable, deadline);
        if (waited == net::Wait::Woken || waited == net::Wait::Failed ||
            net::Clock::now() >= deadline) {
            return Opening::Plain;
        }
    }
}

// Everything the peer has sent so far, header included.
uint64_t BytesReceived(int fd) {
    tcp_info info{};
    socklen_t length = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0) {
        return 0;
    }
    return info.tcpi_bytes_received;
}

std::string AddressText(uint32_t address) {
    in_addr in{};
    in.s_addr = address;
    char text[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

}  // namespace

SListener::SListener() = default;

SListener::~SListener() {
    stopping_ = true;
    stop_.Wake();
    wake_.Wake();
    std::vector<std::thread> listeners;
    {
        // Interrupting the listening sockets wakes their waits; the threads close them.
        // Connections wake on stop_ and are reset by their threads: shutting their sending
        // side would tell the buddy that all is well.
        std::lock_guard<std::mutex> guard(mutex_);
        for (TcpStream* listener : listeners_) {
            listener->Interrupt();
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

void SListener::SetIdentity(const Identity* identity, const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    identity_ = identity;
    name_ = name;
}

int SListener::ActiveConnections() {
    std::lock_guard<std::mutex> guard(mutex_);
    return active_ + reserved_;
}

void SListener::SetMinimumRate(int64_t bytesPerSecond, std::chrono::milliseconds window) {
    minBytesPerSecond_ = bytesPerSecond;
    rateWindowMs_ = window.count();
}

void SListener::SetApproval(std::function<bool(uint32_t address)> approved) {
    std::lock_guard<std::mutex> guard(mutex_);
    approved_ = std::move(approved);
}

void SListener::SetSenderCheck(std::function<bool(const std::string& keyHash)> check) {
    std::lock_guard<std::mutex> guard(mutex_);
    senderCheck_ = std::move(check);
}

bool SListener::SenderTaken(Connection& connection, Callback* callback, ByteStream& stream,
                            const std::string& keyHash) {
    std::function<bool(const std::string&)> check;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        check = senderCheck_;
    }
    if (!check || check(keyHash)) {
        return true;
    }
    Finishing(connection);
    stream.Reset();
    if (!stopping_) {
        WriteLog("Listener: " + AddressText(connection.address) + " refused: " +
                 (keyHash.empty() ? std::string("a plain sender") : "key " + keyHash) + "\n");
    }
    Report(connection, callback, stopping_ ? Ending::Stopped : Ending::ReadFailed, nullptr, nullptr,
           true);
    return false;
}

void SListener::Start(int port) {
    if (port != 0 && !net::PortFromNumber(port)) {
        WriteLog("Listener: " + std::to_string(port) + " is not a port number, not listening\n");
        return;
    }
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
    TcpStream listener(TcpStream::kNoStallLimit, nullptr);
    if (!listener.Create()) {
        WriteLog("Listener: socket() failed\n");
        return;
    }
    // On Linux this only lets a restart bind while old connections linger in TIME_WAIT; a
    // second listener on the same port is still refused.
    listener.SetReuseAddress();
    // Accepted connections start with it: if this process dies, each one is reset.
    listener.SetAbortiveClose(true);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(static_cast<uint16_t>(port));
    {
        // With address reuse two sockets may both bind a port nobody listens on yet; taking
        // bind and listen together makes the later of two listeners fail at its bind.
        static std::mutex bindMutex;
        std::lock_guard<std::mutex> bindGuard(bindMutex);
        if (!listener.Bind(address)) {
            WriteLog("Listener: bind() failed\n");
            return;
        }
        // A backlog longer than ten: while a flood of connections is being refused, an honest
        // buddy's connection waits its turn instead of having its SYN dropped.
        if (!listener.Listen(128)) {
            WriteLog("Listener: listen() failed\n");
            return;
        }
    }
    {
        // Registered only once listening: an interrupt before listen() would not wake the wait.
        std::lock_guard<std::mutex> guard(mutex_);
        if (stopping_) {
            return;
        }
        listeners_.push_back(&listener);
    }
    if (listener.LocalAddress(address)) {
        int none = 0;
        boundPort_.compare_exchange_strong(none, ntohs(address.sin_port));
    }
    // What an earlier run left half received; files other receivers are writing stay.
    ReceivedFile::RemoveStale(GetReceiveFolder());
    // Resume: parts kept for cut sessions go after their time, at start and every 10 min.
    PartStore(GetReceiveFolder()).Clean(time(nullptr));
    auto cleanParts = std::chrono::steady_clock::now() + std::chrono::minutes(10);
    WriteLog("Listening for client...\n");

    auto check = std::chrono::steady_clock::now();
    for (;;) {
        const net::Wait waited = net::WaitFor(listener.fd(), POLLIN, &wake_, check);
        if (stopping_) {
            break;
        }
        const auto now = std::chrono::steady_clock::now();
        if (now >= cleanParts) {  // Resume
            PartStore(GetReceiveFolder()).Clean(time(nullptr));
            cleanParts = now + std::chrono::minutes(10);
        }
        if (now >= check) {
            std::vector<std::string> lines;
            {
                std::lock_guard<std::mutex> guard(mutex_);
                check = EvictLocked(now, lines);
            }
            for (const std::string& line : lines) {
                WriteLog(line);
            }
        }
        if (waited == net::Wait::TimedOut) {
            continue;
        }
        if (waited == net::Wait::Failed) {
            WriteLog("Listener: accept() failed\n");
            break;
        }
        if (waited == net::Wait::Woken) {
            wake_.Drain();
            std::lock_guard<std::mutex> guard(mutex_);
            JoinEndedLocked();
            continue;
        }
        // A connection's reads give up after the idle time; the receiver's end wakes them.
        const std::chrono::milliseconds idle(idleTimeoutMs_.load());
        auto accepted = std::make_unique<TcpStream>(idle, &stop_);
        sockaddr_in peer{};
        if (listener.TryAccept(*accepted, &peer)) {
            Accepted(std::move(accepted), peer.sin_addr.s_addr);
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
    listeners_.erase(std::find(listeners_.begin(), listeners_.end(), &listener));
    listener.Close();
}

void SListener::Accepted(std::unique_ptr<TcpStream> stream, uint32_t address) {
    stream->SetAbortiveClose(true);
    std::function<bool(uint32_t)> approval;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        approval = approved_;
    }
    // Asked outside our lock: the answer may take a lock of its own.
    const bool approved = approval && approval(address);
    std::unique_lock<std::mutex> guard(mutex_);
    if (stopping_) {  // the destructor's wake may have passed this connection by
        guard.unlock();
        stream->Reset();
        return;
    }
    JoinEndedLocked();
    const bool reserved = approved && reserved_ < kMaxReserved;
    if (reserved || (active_ < kMaxConnections && perAddress_[address] < kMaxPerAddress)) {
        connections_.emplace_back();
        Connection& connection = connections_.back();
        connection.stream = std::move(stream);
        connection.fd = connection.stream->fd();
        connection.address = address;
        connection.reserved = reserved;
        connection.accepted = std::chrono::steady_clock::now();
        connection.windowStart = connection.accepted;
        try {
            connection.thread = std::thread(&SListener::RunReceiveThread, this, &connection);
            if (reserved) {
                ++reserved_;
            } else {
                ++active_;
                ++perAddress_[address];
            }
            return;
        } catch (const std::system_error&) {
            stream = std::move(connection.stream);
            connections_.pop_back();
        }
    }
    if (perAddress_[address] == 0) {
        perAddress_.erase(address);
    }
    guard.unlock();
    WriteLog("Listener: too many connections, one closed\n");
    stream->Reset();
}

std::chrono::steady_clock::time_point SListener::EvictLocked(
    std::chrono::steady_clock::time_point now, std::vector<std::string>& lines) {
    const std::chrono::milliseconds window(std::max<int64_t>(rateWindowMs_.load(), 1));
    const std::chrono::milliseconds lifetime(lifetimeMs_.load());
    const uint64_t minimum =
        static_cast<uint64_t>(std::max<int64_t>(minBytesPerSecond_.load(), 0)) *
        static_cast<uint64_t>(window.count()) / 1000;
    auto next = now + std::min<std::chrono::milliseconds>(window, std::chrono::seconds(1));
    for (Connection& connection : connections_) {
        // A finishing thread may be closing its stream: it is left alone.
        if (connection.done || connection.finishing || connection.evicted ||
            connection.handshaking) {
            continue;
        }
        const char* why = nullptr;
        if (now - connection.accepted >= lifetime) {
            why = "connected too long";
        } else if (now - connection.windowStart >= window) {
            const uint64_t bytes = BytesReceived(connection.fd);
            // The first window is the header's and the setting-up's: only later ones count.
            if (connection.windowStart != connection.accepted &&
                bytes - connection.windowBytes < minimum) {
                why = "too slow";
            }
            connection.windowStart = now;
            connection.windowBytes = bytes;
        }
        if (why == nullptr) {
            continue;
        }
        connection.evicted = true;
        // Its read ends at once and its thread resets it; no end of stream goes out first.
        shutdown(connection.fd, SHUT_RD);
        auto logged = evictionLogged_.find(connection.address);
        if (logged == evictionLogged_.end() || now - logged->second >= std::chrono::minutes(1)) {
            evictionLogged_[connection.address] = now;
            lines.push_back("Listener: " + AddressText(connection.address) + " " + why +
                            ", connection reset\n");
        }
    }
    std::erase_if(evictionLogged_,
                  [&](const auto& entry) { return now - entry.second >= std::chrono::minutes(1); });
    return next;
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
        if (connection->reserved) {
            --reserved_;
        } else {
            --active_;
            if (--perAddress_[connection->address] <= 0) {
                perAddress_.erase(connection->address);
            }
        }
    }
    wake_.Wake();
}

void SListener::RunReceiveThread(Connection* connection) {
    Callback* callback = callback_;
    if (callback != nullptr && !stopping_) {
        callback->IncomingFile();
    }
    const std::chrono::milliseconds header(headerTimeoutMs_.load());
    TcpStream& stream = *connection->stream;
    if (Sniff(stream, connection->accepted + header, stop_) == Opening::Tls) {
        RunSecureSession(connection, callback);
        Done(connection);
        return;
    }
    if (!SenderTaken(*connection, callback, stream, "")) {
        Done(connection);
        return;
    }
    ReceivedFile file(GetReceiveFolder());
    ReceiveSession session(file);
    session.SetApproval([&](const std::string& name, int64_t size) {
        return AskConsent(*connection, {}, {}, name, size) == ConsentAsker::Answer::Accept;
    });
    Ending ending =
        receive_loop::Run(stream, connection->accepted + header, callback, stopping_, session);
    // From here the stream is this thread's alone; a connection reset to make room has seen
    // an end of its own making, never the peer's.
    if (Finishing(*connection) && ending != Ending::Stopped) {
        ending = Ending::ReadFailed;
    }
    // The file stands under its name before the connection closes in order: the sender
    // takes that end as word that the file is there.
    if (ending == Ending::Whole && session.HasFile() && (stopping_ || !file.Publish())) {
        ending = stopping_ ? Ending::Stopped : Ending::PublishFailed;
    }
    file.Discard();
    if (ending == Ending::Whole) {
        stream.Close();
    } else {
        stream.Reset();
    }
    // Everything is closed before the last event: a message box may keep it waiting long.
    const std::string& kept =
        ending == Ending::Whole && !file.StoredName().empty() ? file.StoredName() : session.name();
    Report(*connection, callback, ending,
           session.HasHeader() && ending != Ending::Declined ? &kept : nullptr, nullptr);
    Done(connection);
}

void SListener::SetHandshaking(Connection& connection, bool on) {
    std::lock_guard<std::mutex> guard(mutex_);
    connection.handshaking = on;
    if (!on) {
        // The rate is asked again from now: the pause is not counted against it.
        connection.windowStart = std::chrono::steady_clock::now();
        connection.windowBytes = BytesReceived(connection.fd);
    }
}

ConsentAsker::Answer SListener::AskConsent(Connection& connection, const std::string& keyHash,
                                           const std::string& peerName, const std::string& file,
                                           int64_t size, uint32_t files) {
    ConsentAsker* asker = consent_;
    if (asker == nullptr) {
        return ConsentAsker::Answer::Accept;
    }
    ConsentRequest request;
    request.address = AddressText(connection.address);
    request.keyHash = keyHash;
    request.name = peerName;
    request.file = file;
    request.size = size;
    request.files = files;
    SetHandshaking(connection, true);
    const ConsentAsker::Answer answer = asker->Ask(request);
    SetHandshaking(connection, false);
    if (answer != ConsentAsker::Answer::Accept && !stopping_) {
        WriteLog(
            "Listener: " + DisplayName(file, 100) + " from " + request.address +
            (answer == ConsentAsker::Answer::Reset ? " refused (blocked computer)" : " declined") +
            ", connection reset, nothing stored\n");
    }
    return answer;
}

bool SListener::Finishing(Connection& connection) {
    std::lock_guard<std::mutex> guard(mutex_);
    connection.finishing = true;
    return connection.evicted;
}

void SListener::RunSecureSession(Connection* connection, Callback* callback) {
    const std::chrono::milliseconds header(headerTimeoutMs_.load());
    // The unauthenticated handshake, HELLO and FILE share the plain header's time.
    const net::Clock::time_point deadline = connection->accepted + header;
    const Identity* identity = nullptr;
    std::string name;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        identity = identity_;
        name = name_;
    }
    if (identity == nullptr) {
        Finishing(*connection);
        connection->stream->Reset();
        if (!stopping_) {
            WriteLog("Listener: a secure connection came, but this copy has no key\n");
        }
        Report(*connection, callback, Ending::ReadFailed, nullptr, nullptr, true);
        return;
    }
    SetHandshaking(*connection, true);
    std::string error;
    std::unique_ptr<TlsStream> tls =
        TlsStream::Accept(std::move(connection->stream), *identity, deadline, error);
    {
        std::lock_guard<std::mutex> guard(mutex_);
        connection->handshaking = false;
        connection->finishing = !tls;
    }
    if (!tls) {
        if (!stopping_) {
            WriteLog("Listener: secure handshake failed: " + DisplayName(error, 200) + "\n");
        }
        Report(*connection, callback, stopping_ ? Ending::Stopped : Ending::ReadFailed, nullptr,
               nullptr, true);
        return;
    }
    if (!SenderTaken(*connection, callback, *tls, tls->peerKeyHash())) {
        return;
    }
    const std::string folder = GetReceiveFolder();
    ReceivedFile file(folder);
    ReceiveSession session(file, ReceiveSession::Sizes::Exact);  // the frame's size is exact
    secure_receive::PairingHook pairing;
    if (PairingResponder* responder = pairing_) {
        pairing = [&, responder](FrameLink& link, const frame::Hello& hello) {
            // The users take their time to answer, with deadlines of the pairing's own: no
            // rate is asked of the connection meanwhile.
            SetHandshaking(*connection, true);
            const std::string peer = AddressText(connection->address);
            const PairingOutcome outcome =
                responder->Serve(*tls, link, hello, identity->keyHash(), name, peer);
            SetHandshaking(*connection, false);
            WriteLog("Pairing with " + DisplayName(peer, 64) + ": " + outcome.Text() + "\n");
        };
    }
    // Resume: parts of cut sessions; no rate is asked while both sides read a prefix.
    PartResume resume(
        folder, tls->peerKeyHash(), [&](bool quiet) { SetHandshaking(*connection, quiet); },
        &stopping_);
    // The groups of a session, told with the peer they came from.
    secure_receive::BatchEvents events;
    TransferNotes* notes = notes_;
    const std::string peer = AddressText(connection->address);
    const std::string& key = tls->peerKeyHash();
    // Outside the block below: the events call it for as long as the session runs.
    const auto told = [&](IncomingBatch batch) {
        batch.peerAddress = peer;
        batch.peerKeyHash = key;
        return batch;
    };
    if (notes != nullptr) {
        // As Report: nothing is told while the receiver is being destroyed.
        events.started = [&](const IncomingBatch& batch) {
            if (!stopping_) {
                notes->BatchStarted(told(batch));
            }
        };
        events.progress = [&](const IncomingBatch& batch) {
            if (!stopping_) {
                notes->BatchProgress(told(batch));
            }
        };
        events.kept = [&](const IncomingBatch& batch, const std::string& stored) {
            if (!stopping_) {
                notes->BatchFileReceived(told(batch), stored);
            }
        };
        events.ended = [&](const IncomingBatch& batch, bool whole) {
            if (!stopping_) {
                notes->BatchEnded(told(batch), whole);
            }
        };
    }
    const secure_receive::ConsentHook consent =
        [&](const std::string& peerName, const std::string& offer, uint64_t size, uint32_t files) {
            return AskConsent(*connection, key, peerName, offer,
                              static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX)), files);
        };
    secure_receive::Result result =
        secure_receive::Run(*tls, deadline, callback, stopping_, file, session, folder, name,
                            pairing, events, &resume, consent);
    if (Finishing(*connection) && result.ending != Ending::Stopped) {
        result.ending = Ending::ReadFailed;  // reset to make room: its end was ours
    }
    file.Discard();
    if (result.ending == Ending::Whole) {
        tls->Close();
    } else {
        tls->Reset();
    }
    const bool named = !result.name.empty() && result.ending != Ending::Declined;
    Report(*connection, callback, result.ending, named ? &result.name : nullptr,
           &tls->peerKeyHash());
}

void SListener::Report(const Connection& connection, Callback* callback, Ending ending,
                       const std::string* name, const std::string* keyHash, bool logged) {
    if (stopping_ || ending == Ending::Stopped) {
        return;
    }
    const EndReport report = ReportFor(ending);
    if (report.text != nullptr && !logged) {
        WriteLog(report.text);
    }
    TransferNotes* notes = notes_;
    if (notes != nullptr && name != nullptr) {
        const std::string peer = AddressText(connection.address);
        if (keyHash == nullptr) {
            if (report.code == 0) {
                notes->FileReceived(*name, peer);
            } else {
                notes->ReceiveFailed(*name, peer);
            }
        } else if (report.code == 0) {
            notes->SecureFileReceived(*name, peer, *keyHash);
        } else {
            notes->SecureReceiveFailed(*name, peer, *keyHash);
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
