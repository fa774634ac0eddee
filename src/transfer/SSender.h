#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <list>
#include <mutex>
#include <string>
#include <thread>

class Callback;

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
    // address: dotted IPv4 text (no name lookup); port: decimal text (not a number: 0).
    bool SendFile(const std::string& address, const std::string& port, const std::string& path);
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

    void RunSendThread(Worker* worker, std::string address, int port, std::string path);
    Outcome Transfer(const std::string& address, int port, const std::string& path, int& file);
    bool ConnectToBuddy(const std::string& address, int port);
    // Offers one piece until the connection has taken all of it.
    SendResult Send(const char* data, size_t length);
    // After the end of the stream: true once the buddy has closed its side having taken
    // every byte; false on a reset, the stall time-out or destruction.
    bool AwaitConfirmation();
    // Waits up to `ms`, or less when the sender is being destroyed.
    void Pause(int ms);
    void CloseSocket(bool orderly);
    void JoinEndedLocked();

    std::atomic<Callback*> callback_{nullptr};
    std::atomic<bool> busy_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<int64_t> stallTimeoutMs_{kStallTimeout.count()};
    int wake_[2] = {-1, -1};  // a pipe the destructor writes to, to end waits at once

    std::mutex mutex_;  // guards the fields below
    int socket_ = -1;   // the running transfer's connection
    std::list<Worker> workers_;
};
