#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ConsentAsker.h"
#include "net/Waker.h"
#include "transfer/ReceiveLoop.h"

class Callback;
class Identity;
class PairingResponder;
class TcpStream;
class TransferNotes;

// Receives files from buddies: listens on a TCP port on every local interface, reads one
// file per accepted connection, each on a thread of its own, into the receive folder, and
// reports through the Callback on those threads. Owns every thread it starts.
//
// A file is stored only when its stream ended cleanly after at least the announced number of
// bytes (a plain sender's size is advisory); until then it lives under a temporary name, and
// it never replaces what stands under its name. A connection that fails in any way is ended
// with a reset, so that its sender learns of it; one that brought a whole file is closed
// in order only once the file stands under its name.
class SListener {
public:
    // More connections at once, in all or from one address, are closed as soon as they are
    // accepted. A connection counts until its thread has ended. Approved addresses have
    // places of their own besides, which nobody else can take.
    static constexpr int kMaxConnections = 64;
    static constexpr int kMaxPerAddress = 8;
    static constexpr int kMaxReserved = 32;
    static constexpr std::chrono::milliseconds kIdleTimeout{120000};
    static constexpr std::chrono::milliseconds kHeaderTimeout{30000};
    // A connection that brings less than the minimum rate over each window after its first,
    // or lives longer than the lifetime, is reset to make room.
    static constexpr int64_t kMinBytesPerSecond = 1024;
    static constexpr std::chrono::milliseconds kRateWindow{60000};
    static constexpr std::chrono::milliseconds kLifetime{6 * 3600 * 1000};

    SListener();
    SListener(const SListener&) = delete;
    SListener& operator=(const SListener&) = delete;
    // Stops listening, ends every connection (raising no more events) and joins every thread.
    // A connection blocked inside an event holds this up until the event returns.
    virtual ~SListener();

    void SetCallback(Callback* callback);
    // Told, beside the events, which file each connection brought and from whom.
    void SetNotes(TransferNotes* notes) { notes_ = notes; }
    // Our key, for connections that open with a TLS hello (the same port serves both), and
    // the name our HELLO gives. Without one such a connection is reset. The identity outlives
    // the receiver, or is replaced before it goes.
    void SetIdentity(const Identity* identity, const std::string& name = {});
    // Serves secure connections that ask to pair; without one they are refused. It outlives
    // the receiver.
    void SetPairing(PairingResponder* responder) { pairing_ = responder; }
    // Returns at once; the listening thread logs its own failures (a second Start on a
    // bound port logs the bind failure). Port 0 takes any free port; a number that is no
    // port is said in the log and nothing listens.
    void Start(int port);

    // The port of the first listening thread that got as far as listening; 0 until then.
    int BoundPort() const { return boundPort_; }
    // How long a connection may bring no data before it ends as a failed read, and how long
    // after its start its header must be complete. Apply to connections accepted afterwards.
    void SetIdleTimeout(std::chrono::milliseconds timeout) { idleTimeoutMs_ = timeout.count(); }
    void SetHeaderTimeout(std::chrono::milliseconds timeout) { headerTimeoutMs_ = timeout.count(); }
    // The minimum rate and its window, and the lifetime; apply to every connection.
    void SetMinimumRate(int64_t bytesPerSecond, std::chrono::milliseconds window);
    void SetLifetime(std::chrono::milliseconds lifetime) { lifetimeMs_ = lifetime.count(); }
    // Which peers (IPv4 address in network order) may use the reserved places; asked on the
    // listening thread at every accept. None until set.
    void SetApproval(std::function<bool(uint32_t address)> approved);
    // Which senders are taken, by key hash: asked right after a secure handshake, before any
    // frame, and with an empty key of a plain connection before anything is read; one it
    // refuses is reset. None until set: every sender.
    void SetSenderCheck(std::function<bool(const std::string& keyHash)> check);
    // Asked of every file once its header is in, before anything is written (a plain
    // connection is held unread meanwhile); none: every file is taken. While it waits the
    // connection is not looked at for making room. It outlives the receiver.
    void SetConsent(ConsentAsker* asker) { consent_ = asker; }
    // Connection threads that have not ended yet (for tests).
    int ActiveConnections();

private:
    struct Connection {
        std::thread thread;
        std::unique_ptr<TcpStream> stream;
        int fd = -1;           // the stream's, also while a TLS stream holds it
        uint32_t address = 0;  // the peer's, in network order
        std::chrono::steady_clock::time_point accepted;
        bool reserved = false;   // holds one of the approved addresses' places
        bool finishing = false;  // the thread is past reading: its stream is its own
        bool evicted = false;    // reset for being too slow or too old
        // In the TLS handshake (whose failure closes the socket out of our sight) or waiting
        // for a user's answer to pairing: not looked at for making room; each has deadlines
        // of its own.
        bool handshaking = false;
        // The start of the current rate window and the bytes received before it.
        std::chrono::steady_clock::time_point windowStart;
        uint64_t windowBytes = 0;
        bool done = false;  // the thread has nothing left to do; it may be joined
    };
    void RunListenThread(int port);
    void RunReceiveThread(Connection* connection);
    // A connection that opened with a TLS hello: the handshake, then the framed session.
    void RunSecureSession(Connection* connection, Callback* callback);
    // The thread is past reading: from now on the stream is its own. True when the connection
    // was reset to make room meanwhile.
    bool Finishing(Connection& connection);
    void SetHandshaking(Connection& connection, bool on);
    // False when the sender check refuses this key ("": a plain sender); then the
    // connection is reset and reported.
    bool SenderTaken(Connection& connection, Callback* callback, ByteStream& stream,
                     const std::string& keyHash);
    // The consent asker's answer for a file (Accept without one); logs a refusal.
    ConsentAsker::Answer AskConsent(Connection& connection, const std::string& keyHash,
                                    const std::string& peerName, const std::string& file,
                                    int64_t size, uint32_t files = 1);
    // The connection's last words: the log line, the notes (when a file was named) and the
    // event. keyHash: the peer's, for a secure connection; logged: the line is written.
    void Report(const Connection& connection, Callback* callback, receive_loop::Ending ending,
                const std::string* name, const std::string* keyHash, bool logged = false);
    void Accepted(std::unique_ptr<TcpStream> stream, uint32_t address);
    // The thread's last step: frees its places and wakes the listening thread to join it.
    void Done(Connection* connection);
    void JoinEndedLocked();
    // Resets connections that are too slow or too old, adding the lines to log; returns when
    // the next check is due.
    std::chrono::steady_clock::time_point EvictLocked(std::chrono::steady_clock::time_point now,
                                                      std::vector<std::string>& lines);

    std::atomic<Callback*> callback_{nullptr};
    std::atomic<TransferNotes*> notes_{nullptr};
    std::atomic<const Identity*> identity_{nullptr};
    std::atomic<PairingResponder*> pairing_{nullptr};
    std::atomic<ConsentAsker*> consent_{nullptr};
    std::atomic<bool> stopping_{false};
    std::atomic<int> boundPort_{0};
    std::atomic<int64_t> idleTimeoutMs_{kIdleTimeout.count()};
    std::atomic<int64_t> headerTimeoutMs_{kHeaderTimeout.count()};
    std::atomic<int64_t> minBytesPerSecond_{kMinBytesPerSecond};
    std::atomic<int64_t> rateWindowMs_{kRateWindow.count()};
    std::atomic<int64_t> lifetimeMs_{kLifetime.count()};
    Waker wake_;  // a connection thread ended, or the receiver is stopping
    Waker stop_;  // the receiver is stopping: ends every connection's wait

    std::mutex mutex_;  // guards the fields below
    std::vector<std::thread> listenThreads_;
    std::vector<TcpStream*> listeners_;  // listening, owned by their threads
    std::list<Connection> connections_;
    int active_ = 0;                      // in the common places
    int reserved_ = 0;                    // in the approved addresses' places
    std::map<uint32_t, int> perAddress_;  // in the common places
    std::map<uint32_t, std::chrono::steady_clock::time_point> evictionLogged_;
    std::function<bool(uint32_t)> approved_;
    std::function<bool(const std::string&)> senderCheck_;  // guarded by mutex_
    std::string name_;
};
