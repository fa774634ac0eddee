#pragma once

#include <atomic>
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
class SSender {
public:
    SSender();  // logs "Can't talk to the network\n" when sockets cannot be used
    SSender(const SSender&) = delete;
    SSender& operator=(const SSender&) = delete;
    // Cuts off a running transfer (raising no more events) and joins its threads.
    virtual ~SSender();

    void SetCallback(Callback* callback);
    // Starts one transfer. While one runs it is refused: false, and nothing changes.
    // address: dotted IPv4 text (no name lookup); port: decimal text (not a number: 0).
    bool SendFile(const std::string& address, const std::string& port, const std::string& path);
    // True from a successful SendFile until just before that transfer's last event
    // (FoundBuddy with nulls, FinishedSending or ReportError), so that the owner may start
    // the next transfer from inside that event, on the ending thread.
    bool Busy() const { return busy_; }

private:
    struct Worker {
        std::thread thread;
        bool done = false;  // past its last event; it may be joined
    };
    enum class Outcome { NoConnection, CannotOpen, Sent, SendFailed, Stopped };

    void RunSendThread(Worker* worker, std::string address, int port, std::string path);
    Outcome Transfer(const std::string& address, int port, const std::string& path, int& file);
    bool ConnectToBuddy(const std::string& address, int port);
    // Offers one piece until the connection has taken all of it; false on a socket error.
    bool Send(const char* data, size_t length);
    // Waits up to `ms`, or less when the sender is being destroyed.
    void Pause(int ms);
    void CloseSocket(bool abort);
    void JoinEndedLocked();

    std::atomic<Callback*> callback_{nullptr};
    std::atomic<bool> busy_{false};
    std::atomic<bool> stopping_{false};
    int wake_[2] = {-1, -1};  // a pipe the destructor writes to, to end waits at once

    std::mutex mutex_;  // guards the fields below
    int socket_ = -1;   // the running transfer's connection
    std::list<Worker> workers_;
};
