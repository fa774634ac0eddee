#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/Capability.h"
#include "net/GenSocket.h"

class BeaconNotes;
class Callback;

// Finds buddies on the local network. Every copy announces itself with "b|address|port"
// to a multicast group and says "d|address|blah, blah" when it leaves; the receive thread
// hears the others and reports them through the Callback, on its own thread. A copy that
// offers secure transfers adds a fourth field to its announces ("b|address|port|zw1;..."). The
// group and the ports come from the per-machine registry, read afresh each time they are needed.
class MulticastListener {
public:
    // Looks up this computer's address; starts nothing and sends nothing.
    explicit MulticastListener(Callback* callback);
    // Stops and joins the receive thread.
    virtual ~MulticastListener();
    MulticastListener(const MulticastListener&) = delete;
    MulticastListener& operator=(const MulticastListener&) = delete;

    // Told of every announce and leave before the Callback is, and asked whether to go on
    // (see BeaconNotes). Before StartReceiver.
    void SetNotes(BeaconNotes* notes) { notes_ = notes; }
    // What our announces offer from now on; none (or one without TLS): the three fields alone.
    // Leaves never carry it. Any thread.
    void SetCapability(std::optional<Capability> capability);

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
    std::atomic<BeaconNotes*> notes_{nullptr};
    // Datagrams from this address are our own (or another program's on this computer).
    char ownAddress_[28] = {};
    std::atomic<bool> shuttingDown_{false};
    std::atomic<bool> buddyKnown_{false};

    // The UI thread's timer and the receive thread's answer may send at the same moment.
    std::mutex senderMutex_;
    GenSocket senderSocket_;
    std::string offer_;  // the fourth field, encoded; guarded by senderMutex_

    // Opened and closed by the receive thread and shut down by the destructor, all under
    // receiverMutex_, so a stop can never miss the socket or touch a closed one.
    std::mutex receiverMutex_;
    std::condition_variable stopSignal_;
    bool stopping_ = false;
    GenSocket receiverSocket_;
    std::thread receiver_;
};
