#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

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
// A file is stored only when its stream ended after exactly the announced number of bytes;
// until then it lives under a temporary name. A connection that fails in any way is ended
// with a reset, so that its sender learns of it; one that brought a whole file is closed
// in order only once the file stands under its name.
class SListener {
public:
    // More connections at once, in all or from one address, are closed as soon as they are
    // accepted. A connection counts until its thread has ended.
    static constexpr int kMaxConnections = 64;
    static constexpr int kMaxPerAddress = 8;
    static constexpr std::chrono::milliseconds kIdleTimeout{120000};
    static constexpr std::chrono::milliseconds kHeaderTimeout{30000};

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
    // Connection threads that have not ended yet (for tests).
    int ActiveConnections();

private:
    struct Connection {
        std::thread thread;
        std::unique_ptr<TcpStream> stream;
        uint32_t address = 0;  // the peer's, in network order
        std::chrono::steady_clock::time_point accepted;
        bool done = false;  // the thread has nothing left to do; it may be joined
    };
    void RunListenThread(int port);
    void RunReceiveThread(Connection* connection);
    // A connection that opened with a TLS hello: the handshake, then the framed session.
    void RunSecureSession(Connection* connection, Callback* callback);
    // The connection's last words: the log line, the notes (when a file was named) and the
    // event. keyHash: the peer's, for a secure connection; logged: the line is written.
    void Report(const Connection& connection, Callback* callback, receive_loop::Ending ending,
                const std::string* name, const std::string* keyHash, bool logged = false);
    void Accepted(std::unique_ptr<TcpStream> stream, uint32_t address);
    // The thread's last step: frees its places and wakes the listening thread to join it.
    void Done(Connection* connection);
    void JoinEndedLocked();

    std::atomic<Callback*> callback_{nullptr};
    std::atomic<TransferNotes*> notes_{nullptr};
    std::atomic<const Identity*> identity_{nullptr};
    std::atomic<PairingResponder*> pairing_{nullptr};
    std::atomic<bool> stopping_{false};
    std::atomic<int> boundPort_{0};
    std::atomic<int64_t> idleTimeoutMs_{kIdleTimeout.count()};
    std::atomic<int64_t> headerTimeoutMs_{kHeaderTimeout.count()};
    Waker wake_;  // a connection thread ended, or the receiver is stopping
    Waker stop_;  // the receiver is stopping: ends every connection's wait

    std::mutex mutex_;  // guards the fields below
    std::vector<std::thread> listenThreads_;
    std::vector<TcpStream*> listeners_;  // listening, owned by their threads
    std::list<Connection> connections_;
    int active_ = 0;
    std::map<uint32_t, int> perAddress_;
    std::string name_;
};
