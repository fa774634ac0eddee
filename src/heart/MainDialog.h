#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/BatchNotes.h"
#include "core/BeaconNotes.h"
#include "core/Callback.h"
#include "core/IconMakerI.h"
#include "core/SendNotes.h"
#include "core/TransferNotes.h"
#include "discovery/AnnounceAnswerRule.h"
#include "heart/BuddyGuard.h"
#include "heart/DropView.h"
#include "heart/IncomingStatus.h"
#include "heart/PairedBuddySource.h"
#include "heart/PeerDirectory.h"
#include "heart/RetrySchedule.h"
#include "heart/RetryTimer.h"
#include "heart/WorkerFactory.h"
#include "transfer/FileStorage.h"
#include "transfer/NotDeliveredList.h"
#include "transfer/SecurePeer.h"

// The TCP port this copy receives on and its beacons announce; set by Initialize.
extern std::atomic<int32_t> listenPort;

// The heart of the drop window: owns the send queue and the workers, queues dropped files,
// hands them out one at a time and turns the workers' events into what the user sees. Plain
// C++: it reaches the screen only through its DropView. Events arrive on worker threads.
class ConsentDesk;

class MainDialog : public Callback,
                   public TransferNotes,
                   public BeaconNotes,
                   public SendNotes,
                   public BatchNotes {
public:
    static constexpr std::chrono::milliseconds kBeaconPeriod{10000};

    // `beaconPeriod` is the view's beacon timer period and the least time between two answers
    // to one buddy's announces; copies without a window shorten it, the drop window never does.
    MainDialog(DropView& view, WorkerFactory& workers,
               std::chrono::milliseconds beaconPeriod = kBeaconPeriod);
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;
    // Stops and joins every worker (the discovery first: a buddy found would dispatch); no
    // worker's event touches anything of ours once this returns. The view must outlive it.
    virtual ~MainDialog();

    // Set by the main frame before Initialize.
    void SetIconMaker(IconMakerI* iconMaker) { iconMaker_ = iconMaker; }
    // Before Initialize: who our paired buddy is (none: any announce or leave counts, as
    // always), and the key id our announces offer TLS under (empty: they offer nothing).
    void SetPairedBuddySource(PairedBuddySource* source) { paired_ = source; }
    void SetOwnKeyId(const std::string& keyId) { ownKeyId_ = keyId; }
    // What "Pair again" in a box about a paired buddy starts, with the buddy's address. Any
    // time; none: the box's button only logs.
    void SetPairAgain(std::function<void(const std::string& address)> hook);

    // The stranger's question's time for an answer, and how long that computer's later files
    // follow it (2 minutes and 10 s; tests shorten them). Before Initialize.
    void SetConsentTimes(std::chrono::milliseconds answer, std::chrono::milliseconds follow);

    // When the window has been created: fixes the listening port and starts the receiver
    // and, in automatic mode, the discovery and the beacon timer.
    void Initialize();
    // The beacon timer's tick.
    void OnTimer();
    // Files dropped on the window, in the order the desktop lists them.
    void OnDropFiles(const std::vector<std::string>& paths);
    // Hands the head of the queue to the sender or the FTP uploader, unless a transfer runs.
    void SendNext();
    // At Exit: tells the buddy we leave, logs it and closes the log.
    void PrepareShutdown();

    void FoundBuddy(const char* address, const char* port) override;
    void LostBuddy(bool error) override;
    void ShowProgress(int64_t done, int64_t total) override;
    void IncomingFile() override;
    void FinishedSending() override;
    void ReportError(int32_t code) override;

    // The receiver's word on each incoming file, for the desktop notifications.
    void FileReceived(const std::string& name, const std::string& peerAddress) override;
    void ReceiveFailed(const std::string& name, const std::string& peerAddress) override;
    // From the paired buddy's key: told as a plain arrival, but as verified from its name.
    void SecureFileReceived(const std::string& name, const std::string& peerAddress,
                            const std::string& peerKeyHash) override;
    // A group of files in one secure session: the tooltip follows it, and the user is told
    // of it once, at its end, rather than of each of its files.
    void BatchFileReceived(const IncomingBatch& batch, const std::string& stored) override;
    void BatchStarted(const IncomingBatch& batch) override;
    void BatchProgress(const IncomingBatch& batch) override;
    void BatchEnded(const IncomingBatch& batch, bool whole) override;

    // The discovery's word on each datagram, before its event: the latest announce of every
    // source goes into the peer directory, and BuddyGuard says whether the event follows.
    bool Announced(const std::string& source, const std::string& address, const std::string& port,
                   const std::optional<Capability>& capability) override;
    bool Left(const std::string& source, const std::string& address) override;
    // Whether the latest announce from that very source address offered TLS, and its key id.
    // Any thread.
    bool OffersTls(const std::string& address, std::string* keyId) const;

    // The sender's word on each secure send, just before its last event.
    void SecureSendEnded(SendNotes::Outcome outcome, const std::string& reason) override;
    void SecureSessionStarted(const std::string& peerKeyHash, const std::string& cipher) override;

    // A secure session's entries, told by the sender as they go; the sending thread.
    bool BatchEntry(size_t index, std::string& path) override;
    void BatchEntryStarted(size_t index) override;
    void BatchEntryEnded(size_t index, EntryEnd end, const std::string& detail) override;
    void BatchSkipped(size_t index, const std::vector<std::string>& lines) override;
    void BatchProgressed(const Progress& progress) override;

    // The menus' "Cancel sending": the running send stops, and the user says whether the
    // rest stays queued (then it waits for the next drop) or leaves the queue. UI thread.
    void CancelSending();
    // Whether a send runs now, for the menus.
    bool Sending();

    FileStorage& queue() { return queue_; }
    std::chrono::milliseconds beaconPeriod() const { return beaconPeriod_; }

    // The settings dialog's OK: the receiver moves to the port now chosen (or stops), the
    // discovery and its beacon timer start or stop with automatic mode, and the queue goes to
    // the target now in force. UI thread.
    void ApplySettings();

    // An entry the buddy took the connection for but failed this many times in a row leaves
    // the queue for the "Not delivered" list, so that the files behind it go.
    static constexpr int kTriesBeforeNotDelivered = 3;
    // The pause before such an entry is tried again: the buddy is there, so the growing pauses
    // meant for one that is away would only hold up the files behind it.
    static constexpr std::chrono::milliseconds kRetryAfterRefusal{2000};
    std::vector<std::string> NotDelivered() const { return notDelivered_.Entries(); }
    size_t NotDeliveredCount() const { return notDelivered_.Count(); }
    // Back to the end of the queue, and on its way.
    void RetryNotDelivered(const std::string& path);
    void ForgetNotDelivered(const std::string& path);

    // The pauses before queued files are tried again (tests take short ones). Before
    // Initialize.
    void SetRetrySchedule(RetrySchedule schedule);

private:
    class IncomingEvents;
    class SenderEvents;

    enum class Dispatch {
        Started,  // a transfer or an upload job began
        Busy,     // one runs already; the files wait for its end
        Idle,     // nothing queued, or no mode to send in
        NoBuddy,  // a buddy mode without an address to send to
        Held,     // a paired buddy in doubt, or a stranger not confirmed: the files wait
    };
    // Why nothing goes to a buddy that must be reached over TLS.
    enum class Problem { IdentityChanged, NoLongerSecure, HandshakeFailed, NoKeyHere };
    // How the head goes to an address: plain, as always; over TLS to the key `peer` names;
    // or not at all, for `problem`.
    struct Route {
        std::string address;
        bool secure = false;
        SecurePeer peer;
        std::optional<Problem> problem;
        std::string name;     // how the user knows that computer
        std::string keyHash;  // a paired computer's whole key hash
    };
    // TLS always to a paired computer (found by its address or by the key id it announced),
    // and to another only when its latest announce from that very address offers it.
    Route ChooseRoute(const std::string& address) const;
    // Nothing goes: red icon, a log line, the retry, and once per cause a box with the
    // user's choices.
    void BuddyProblem(Problem problem, const Route& route);
    static std::string ProblemText(Problem problem, const std::string& name);
    // A secure buddy refused the file in its own words: it leaves for Not delivered at once.
    void RefusedByBuddy(const std::string& path, const std::string& address,
                        const std::string& reason);
    // To a plain buddy or the FTP server a folder at the head goes as its regular files, each
    // under its own name: the head is replaced by them, and the user told once. Under
    // dispatchMutex_; false when the queue ran empty.
    bool FlattenFolders(std::string& path, const std::string& whom);
    // A batch entry leaves the queue (to Not delivered when refused); false when it had
    // left some other way. Counts it among the session's ended entries.
    bool EndBatchEntry(const std::string& path, bool notDelivered);
    // A batch's end, delivered or not: the files that would not open are told, once.
    void BatchOver(std::vector<std::string> unopened = {});
    // Logs a refused file; with notify, tells the user too (a batch tells its refusals once).
    void TellRefused(const std::string& path, const std::string& address, const std::string& reason,
                     bool notify = true);
    // SendNext's work; tells the caller what came of it.
    Dispatch DispatchHead();
    // Automatic mode sends to a stranger only once the user said so: false when the head
    // waits (the question asked on its own thread, or the user's "Not this computer").
    // dispatchMutex_ held.
    bool MaySendTo(const Route& route);
    // The question's thread: asks the view, keeps the answer, and tries the queue again.
    void AskSendQuestion();
    // Where the sender goes: the buddy discovery found, in automatic mode, else the settings.
    void Target(std::string& address, std::string& port);

    // The end of an incoming file: reset the progress display, leave the send queue alone.
    void IncomingFinished();
    // An incoming file failed or was declined: logged (the note tells the user), the bar
    // reset and hidden; no box, which would be the sender's to see.
    void IncomingFailed(int32_t code);
    // The sender's own failures: it could not connect, or ReportError kCannotOpenToSend or
    // kSendFailed.
    void ConnectionFailed();
    void SendFailed(int32_t code);
    // The running send is over; what it was sending, and to whom.
    void SenderEnded(std::string* path = nullptr, std::string* address = nullptr,
                     std::string* port = nullptr, Route* route = nullptr);
    void ShowIcon(uint16_t icon);
    // The sender's FinishedSending: the buddy has the file.
    void Delivered();
    // A send that failed after the buddy took the connection; true when that entry has now
    // left the queue for the Not delivered list.
    bool CountFailure(const std::string& path, const std::string& address);
    // The queue is tried again after the schedule's next pause, or not at all when empty.
    // quick: the buddy took the connection, so the schedule's growing pauses are not for it.
    void ScheduleRetry(bool quick = false);
    void RetryDue();
    // Tells the view what waits, and for whom.
    void UpdateWaiting();
    // Once the queue has run dry: one notification for the files sent since it last did.
    void NotifyRunEnded();
    // The receiver of earlier settings is destroyed on a thread of its own: one of its
    // connections may sit in a message box that needs the UI thread.
    void RetireReceiver();
    void ResetProgress();
    // Nothing is being sent: bar at 0 and hidden.
    void ClearBar();
    // A message box, unless one under the same key is open already (then only logged).
    bool ShowMessageOnce(int key, const std::string& text);
    void Announce();
    // A discovery worker told of us and of what our announces offer.
    std::unique_ptr<DiscoveryWorker> NewDiscovery();
    std::optional<Capability> OwnCapability() const;
    std::optional<PairedBuddy> Paired() const;
    void LogIgnored(const char* what, const std::string& source);

    DropView& view_;
    const std::chrono::milliseconds beaconPeriod_;
    IconMakerI* iconMaker_ = nullptr;
    std::mutex progressMutex_;
    float lastPercent_ = 0;  // guarded by progressMutex_
    FileStorage queue_;
    std::unique_ptr<DiscoveryWorker> discovery_;
    std::unique_ptr<UploadWorker> uploader_;
    std::unique_ptr<SendWorker> sender_;
    std::unique_ptr<ReceiveWorker> receiver_;
    std::unique_ptr<ConsentDesk> consent_;  // made before, and outlives, every receiver
    std::unique_ptr<IncomingEvents> incomingEvents_;
    std::unique_ptr<SenderEvents> senderEvents_;
    WorkerFactory& workers_;
    // Guards discovery_ against the destructor for the workers' beacons; the UI thread, the
    // only one that changes it, may read it without.
    std::mutex discoveryMutex_;
    std::mutex dispatchMutex_;
    // From a dispatch to the sender until its transfer's end has been dealt with: the sender
    // itself turns idle a moment before its last event, while the entry it sent still heads
    // the queue.
    bool senderInFlight_ = false;  // guarded by dispatchMutex_
    // What the running send took: the path, the address and the port.
    std::string sendingPath_, sendingAddress_, sendingPort_;  // guarded by dispatchMutex_
    Route sendingRoute_;                                      // guarded by dispatchMutex_
    bool batch_ = false;     // the running send is a batch; guarded by dispatchMutex_
    size_t batchEnded_ = 0;  // its entries that left the queue; guarded by dispatchMutex_
    std::vector<std::string> unopened_;  // its files that would not open; dispatchMutex_
    // Its files the buddy refused (path, address, reason), told once at its end; dispatchMutex_
    std::vector<std::array<std::string, 3>> refusedInBatch_;
    // Set by Cancel sending with the rest kept: nothing goes until the next drop.
    bool held_ = false;                                              // guarded by dispatchMutex_
    std::chrono::steady_clock::time_point batchStart_, batchShown_;  // progressMutex_
    std::atomic<bool> closing_{false};

    // The buddy discovery found last: it stays in force whatever the settings dialog stores.
    std::mutex buddyMutex_;
    bool buddyFound_ = false;  // guarded by buddyMutex_, as the two texts
    std::string foundAddress_, foundPort_;

    std::mutex answersMutex_;
    AnnounceAnswerRule answers_;  // guarded by answersMutex_

    PairedBuddySource* paired_ = nullptr;
    std::string ownKeyId_;
    std::optional<Capability> offered_;  // what our announces offer; UI thread only
    mutable std::mutex peersMutex_;
    PeerDirectory peers_;  // guarded by peersMutex_, as the guard's log memory
    BuddyGuard guard_;

    std::mutex boxesMutex_;
    std::set<int> openBoxes_;  // guarded by boxesMutex_, as the set below
    // The buddy problems the user was told of ("cause:key"), until a file goes again.
    std::set<std::string> toldProblems_;

    std::mutex secureMutex_;
    // How the running secure send ended, told before its last event; guarded by secureMutex_,
    // as the hook.
    std::optional<std::pair<SendNotes::Outcome, std::string>> secureEnd_;
    std::function<void(const std::string&)> pairAgain_;

    struct Incoming {
        IncomingStatus status;
        std::string lastKept;  // the group's latest file, as kept
    };
    std::mutex incomingMutex_;
    std::map<std::string, Incoming> incoming_;  // groups coming in, by peer address

    NotDeliveredList notDelivered_;
    std::mutex retryMutex_;
    RetrySchedule retrySchedule_;  // guarded by retryMutex_, as the fields below
    std::string failingPath_;      // the entry that failed last, and how often in a row
    int failures_ = 0;
    size_t sentInRun_ = 0;         // files the buddy confirmed since the queue was last empty
    size_t foldersSentInRun_ = 0;  // and folders, each sent whole in a secure session
    std::string lastSentName_, lastSentAddress_;

    // What runs as the settings last applied say; UI thread only. -1: no receiver.
    int receiverPort_ = -1;
    bool discoveryRunning_ = false;
    std::vector<std::thread> retiring_;

    // The computer the send question is about while it is asked; guarded by dispatchMutex_.
    std::optional<Route> sendQuestion_;
    std::set<std::string> sendUnanswered_;  // asked and closed: not again before a drop
    std::set<std::string> sendRefusedLogged_;

    // Last: their threads call into everything above.
    std::unique_ptr<RetryTimer> retryTimer_;
    std::unique_ptr<RetryTimer> sendAsker_;
};
