#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <mutex>
#include <thread>
#include <vector>

#include "transfer/NamesInUse.h"

class Callback;
class TransferNotes;

// Receives files from buddies: listens on a TCP port on every local interface, reads one
// file per accepted connection, each on a thread of its own, into the receive folder, and
// reports through the Callback on those threads. Owns every thread it starts.
class SListener {
public:
    // More connections at once are closed as soon as they are accepted.
    static constexpr int kMaxConnections = 64;
    static constexpr std::chrono::milliseconds kIdleTimeout{120000};

    SListener();
    SListener(const SListener&) = delete;
    SListener& operator=(const SListener&) = delete;
    // Stops listening, ends every connection (raising no more events) and joins every thread.
    // A connection blocked inside an event holds this up until the event returns.
    virtual ~SListener();

    void SetCallback(Callback* callback);
    // Told, beside the events, which file each connection brought and from whom.
    void SetNotes(TransferNotes* notes) { notes_ = notes; }
    // Returns at once; the listening thread logs its own failures (a second Start on a
    // bound port logs the bind failure).
    void Start(int port);

    // The port of the first listening thread that got as far as listening; 0 until then.
    int BoundPort() const { return boundPort_; }
    // How long a connection may bring no data before it ends as a failed read. Applies to
    // connections accepted afterwards.
    void SetIdleTimeout(std::chrono::milliseconds timeout) { idleTimeoutMs_ = timeout.count(); }

private:
    struct Connection {
        std::thread thread;
        int socket = -1;
        bool done = false;  // the thread has nothing left to do; it may be joined
    };

    void RunListenThread(int port);
    void RunReceiveThread(Connection* connection);
    void Accepted(int socket);
    // Closes the connection's socket and frees its place, before its last event.
    void EndConnection(Connection* connection);
    void JoinEndedLocked();

    std::atomic<Callback*> callback_{nullptr};
    std::atomic<TransferNotes*> notes_{nullptr};
    std::atomic<bool> stopping_{false};
    std::atomic<int> boundPort_{0};
    std::atomic<int64_t> idleTimeoutMs_{kIdleTimeout.count()};
    NamesInUse names_;

    std::mutex mutex_;  // guards the fields below
    std::vector<std::thread> listenThreads_;
    std::vector<int> listenSockets_;
    std::list<Connection> connections_;
    int active_ = 0;
};
