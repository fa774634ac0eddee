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

#include "core/BatchNotes.h"
#include "core/SendNotes.h"
#include "net/Waker.h"
#include "transfer/Frame.h"
#include "transfer/SecurePeer.h"

class ByteStream;
class Callback;
class FrameLink;
class FrameReader;
class Identity;
class TcpStream;

// Sends one queued file to the buddy over a connection of its own, on a thread of its own,
// and reports progress, the end and failures through the Callback on that thread; or, to a
// secure buddy, every queued entry in one session (SendBatch). The queue itself is not
// touched here: the owner removes an entry when told it ended.
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
    // Cuts the running transfer off and joins it: it raises no more events. One already in
    // its last event (which may wait on the user) is left to end on its own. Not from inside
    // one of its own events.
    void Cancel();
    // Starts one transfer. While one runs it is refused: false, and nothing changes.
    // address: dotted IPv4 text (no name lookup); port: decimal text read by net::ParsePort
    // (one that is no port fails the transfer like a buddy that cannot be reached).
    bool SendFile(const std::string& address, const std::string& port, const std::string& path);
    // The same over TLS, to the key `peer` names, in the framed protocol: the file counts as
    // sent only once the buddy acknowledged it. A key that is not the expected one ends the
    // transfer before any frame. The SendNotes (if any) are told how it ended.
    bool SendFile(const std::string& address, const std::string& port, const std::string& path,
                  const SecurePeer& peer);
    // Several queue entries in one secure session: the entries come from the BatchNotes one by
    // one (files, and folders with their tree), each told as it ends; a session cut short is a
    // failed transfer of the entry under way (ReportError kSendFailed), the others stay
    // queued. A drop of one file goes as the single-file session does.
    bool SendBatch(const std::string& address, const std::string& port, const SecurePeer& peer);
    void SetBatchNotes(BatchNotes* notes) { batchNotes_ = notes; }
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
        bool done = false;       // past its last event; it may be joined
        bool lastEvent = false;  // raising its last event, which Cancel does not wait for
        bool claimed = false;    // Cancel joins it
    };
    enum class Outcome { NoConnection, CannotOpen, Sent, SendFailed, Stopped };
    enum class SendResult { Ok, Failed, Stalled, Stopped };
    // How a secure send ended, for the SendNotes.
    struct SecureEnd {
        SendNotes::Outcome outcome = SendNotes::Outcome::Failed;
        std::string reason;
    };

    // One secure session's state between its files.
    struct Session {
        explicit Session(FrameLink& frames);
        FrameLink& link;
        std::unique_ptr<FrameReader> reader;
        bool helloSeen = false;  // the receiver's HELLO comes before its first VERDICT
        std::string pending;     // frames that go out with the next write
        BatchNotes* notes = nullptr;
        size_t index = 0;   // the next entry of a batch
        bool last = false;  // no entry after those sent
        BatchNotes::Progress progress;
    };
    enum class FileResult { Kept, Refused, Failed, Stopped };

    bool Start(const std::string& address, const std::string& port, const std::string& path,
               std::optional<SecurePeer> peer, bool batch);
    void RunSendThread(Worker* worker, std::string address, std::string port, std::string path,
                       std::optional<SecurePeer> peer, bool batch);
    // False when no connection came about (or the sender is stopping); says why in the log.
    bool Connect(TcpStream& stream, const std::string& address, const std::string& port);
    // Sends the file over any connected stream: the header, the pieces, the end, and the
    // wait for the buddy's confirmation.
    Outcome Transfer(ByteStream& stream, const std::string& path, int& file,
                     std::chrono::milliseconds stall);
    // The TLS handshake, the key check and the framed exchange of one file.
    Outcome SecureTransfer(std::unique_ptr<TcpStream>& tcp, std::unique_ptr<ByteStream>& tls,
                           const SecurePeer& peer, const std::string& path, bool batch, int& file,
                           std::chrono::milliseconds stall, SecureEnd& end);
    Outcome Frames(FrameLink& link, const std::string& path, int& file, SecureEnd& end);
    // The batch: groups of loose files and folders, then END.
    Outcome Batch(FrameLink& link);
    Outcome LooseGroup(Session& session, const std::string& first);
    Outcome FolderGroup(Session& session, const std::string& folder);
    // The one exchange of a file in a secure session: the pending frames and FILE, the
    // VERDICT (the receiver's HELLO first, once), the body, the ACK. reason: a refusal's.
    FileResult ExchangeFile(Session& session, int file, const frame::File& header,
                            std::string& reason);
    // Our HELLO, to open a session's first write.
    std::string HelloFrame();
    void Report(Session& session);
    // Opens a plain file to send, without waiting on a FIFO; false when it cannot.
    static bool Open(const std::string& path, int& file, int64_t& size, int64_t& mtime);
    // The body: the file's bytes from `from` up to exactly size, with progress of the whole
    // (the session's, in a batch).
    Outcome SendBody(ByteStream& stream, int file, int64_t size, int64_t from = 0,
                     Session* session = nullptr);
    // Offers one piece until the connection has taken all of it.
    static SendResult Send(ByteStream& stream, const char* data, size_t length);
    void JoinEndedLocked();

    std::atomic<Callback*> callback_{nullptr};
    std::atomic<SendNotes*> sendNotes_{nullptr};
    std::atomic<BatchNotes*> batchNotes_{nullptr};
    const Identity* identity_ = nullptr;  // set before sends start
    std::string name_;
    std::atomic<bool> busy_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<int64_t> stallTimeoutMs_{kStallTimeout.count()};
    Waker wake_;  // woken by the destructor and Cancel, to end every wait at once

    std::mutex mutex_;  // guards the field below, and the decision to raise a last event
    std::list<Worker> workers_;
};
