#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/GenSocket.h"

class Callback;

// Finds buddies on the local network. Every copy announces itself with "b|address|port"
// to a multicast group and says "d|address|blah, blah" when it leaves; the receive thread
// hears the others and reports them through the Callback, on its own thread. The group and
// the ports come from the per-machine registry, read afresh each time they are needed.
class MulticastListener {
public:
    // Looks up this computer's address; starts nothing and sends nothing.
    explicit MulticastListener(Callback* callback);
    // Stops and joins the receive thread.
    virtual ~MulticastListener();
    MulticastListener(const MulticastListener&) = delete;
    MulticastListener& operator=(const MulticastListener&) = delete;

    // Starts the receive thread (once) and returns at once.
    void StartReceiver();
    // Announces `port` (or, after AnnounceShutdown, our leaving) to the group. Any thread.
    void SendBeacon(int port);
    // From now on every beacon is a leave; sends the first one.
    void AnnounceShutdown();
    // True from an announce heard until a leave heard.
    bool buddyKnown() const { return buddyKnown_.load(); }

private:
    int RunMulticastThread();
    // Opens the receive socket unless a stop came first.
    bool OpenReceiver(int port, const char* group, bool& opened);
    bool StopRequested();
    // Waits, unless a stop comes first; false when stopping.
    bool Pause(int milliseconds);

    Callback* callback_;
    // Datagrams from this address are our own (or another program's on this computer).
    char ownAddress_[28] = {};
    std::atomic<bool> shuttingDown_{false};
    std::atomic<bool> buddyKnown_{false};

    // The UI thread's timer and the receive thread's answer may send at the same moment.
    std::mutex senderMutex_;
    GenSocket senderSocket_;

    // Opened and closed by the receive thread and shut down by the destructor, all under
    // receiverMutex_, so a stop can never miss the socket or touch a closed one.
    std::mutex receiverMutex_;
    std::condition_variable stopSignal_;
    bool stopping_ = false;
    GenSocket receiverSocket_;
    std::thread receiver_;
};
