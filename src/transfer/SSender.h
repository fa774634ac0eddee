#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/SendNotes.h"
#include "net/Waker.h"
#include "transfer/SecurePeer.h"

class ByteStream;
class Callback;
class FrameLink;
class Identity;
class TcpStream;

// Sends one queued file to the buddy over a connection of its own, on a thread of its own,
// and reports progress, the end and failures through the Callback on that thread. The queue
// itself is not touched here: the owner removes the entry when told the transfer ended.
//
// FinishedSending means the buddy has the file: after the last byte and the end of the
// stream, the sender waits for the buddy to close its side having taken every byte. Until
// then the connection is set to end with a reset, so that a transfer cut off in any way
// (a failure, destruction, the process ending or dying) never looks complete to the buddy.
class SSender {
public:
    // How long a send may make no progress, and how long the buddy may take to confirm the
    // file, before the transfer fails.
    static constexpr std::chrono::milliseconds kStallTimeout{120000};

    SSender();  // logs "Can't talk to the network\n" when sockets cannot be used
    SSender(const SSender&) = delete;
    SSender& operator=(const SSender&) = delete;
    // Cuts off a running transfer (raising no more events) and joins its threads. Not to be
    // called from inside one of its own events, which run on the thread it would wait for.
    virtual ~SSender();

    void SetCallback(Callback* callback);
    // Starts one transfer. While one runs it is refused: false, and nothing changes.
    // address: dotted IPv4 text (no name lookup); port: decimal text read by net::ParsePort
    // (one that is no port fails the transfer like a buddy that cannot be reached).
    bool SendFile(const std::string& address, const std::string& port, const std::string& path);
    // The same over TLS, to the key `peer` names, in the framed protocol: the file counts as
    // sent only once the buddy acknowledged it. A key that is not the expected one ends the
    // transfer before any frame. The SendNotes (if any) are told how it ended.
    bool SendFile(const std::string& address, const std::string& port, const std::string& path,
                  const SecurePeer& peer);
    // Our key and the name our HELLO gives, for secure sends; the identity outlives them.
    void SetIdentity(const Identity* identity, const std::string& name);
    void SetSendNotes(SendNotes* notes) { sendNotes_ = notes; }
    // True from a successful SendFile until just before that transfer's last event
    // (FoundBuddy with nulls, FinishedSending or ReportError), so that the owner may start
    // the next transfer from inside that event, on the ending thread.
    bool Busy() const { return busy_; }
    // Applies to transfers started afterwards.
    void SetStallTimeout(std::chrono::milliseconds timeout) { stallTimeoutMs_ = timeout.count(); }

private:
    struct Worker {
        std::thread thread;
        bool done = false;  // past its last event; it may be joined
    };
    enum class Outcome { NoConnection, CannotOpen, Sent, SendFailed, Stopped };
    enum class SendResult { Ok, Failed, Stalled, Stopped };
    // How a secure send ended, for the SendNotes.
    struct SecureEnd {
        SendNotes::Outcome outcome = SendNotes::Outcome::Failed;
        std::string reason;
    };

    bool Start(const std::string& address, const std::string& port, const std::string& path,
               std::optional<SecurePeer> peer);
    void RunSendThread(Worker* worker, std::string address, std::string port, std::string path,
                       std::optional<SecurePeer> peer);
    // False when no connection came about (or the sender is stopping); says why in the log.
    bool Connect(TcpStream& stream, const std::string& address, const std::string& port);
    // Sends the file over any connected stream: the header, the pieces, the end, and the
    // wait for the buddy's confirmation.
    Outcome Transfer(ByteStream& stream, const std::string& path, int& file,
                     std::chrono::milliseconds stall);
    // The TLS handshake, the key check and the framed exchange of one file.
    Outcome SecureTransfer(std::unique_ptr<TcpStream>& tcp, std::unique_ptr<ByteStream>& tls,
                           const SecurePeer& peer, const std::string& path, int& file,
                           std::chrono::milliseconds stall, SecureEnd& end);
    Outcome Frames(FrameLink& link, const std::string& path, int& file, SecureEnd& end);
    // Opens a plain file to send, without waiting on a FIFO; false when it cannot.
    static bool Open(const std::string& path, int& file, int64_t& size, int64_t& mtime);
    // The body: the file's bytes from `from` up to exactly size, with progress of the whole.
    Outcome SendBody(ByteStream& stream, int file, int64_t size, int64_t from = 0);
    // Offers one piece until the connection has taken all of it.
    static SendResult Send(ByteStream& stream, const char* data, size_t length);
    void JoinEndedLocked();

    std::atomic<Callback*> callback_{nullptr};
    std::atomic<SendNotes*> sendNotes_{nullptr};
    const Identity* identity_ = nullptr;  // set before sends start
    std::string name_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<int64_t> stallTimeoutMs_{kStallTimeout.count()};
    Waker wake_;  // woken by the destructor, to end every wait at once

    std::mutex mutex_;  // guards the field below
    std::list<Worker> workers_;
};
