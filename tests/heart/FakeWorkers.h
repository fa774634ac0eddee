#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/IconMakerI.h"
#include "heart/DropView.h"
#include "heart/WorkerFactory.h"

// Recording stand-ins for the screen and the workers, so that every decision of the drop
// window's heart can be checked without a display or a network.

class RecordingView : public DropView {
public:
    void ShowProgressBar(bool visible) override;
    void SetProgressPosition(int percent) override { Record("pos " + std::to_string(percent)); }
    void PlayBark() override { Record("bark"); }
    void Activate() override { Record("activate"); }
    void ShowMessage(const std::string& text) override;
    // Recorded as "ask <text>"; answers `answer`.
    int AskBuddyProblem(const std::string& text, const std::vector<std::string>& actions) override;
    std::atomic<int> answer{-1};
    // Recorded as "consent <computer> <file>"; answers `consentChoice`.
    ConsentQuestion::Choice AskConsent(const ConsentQuestion& question) override {
        Record("consent " + question.computer + " " + question.file);
        return consentChoice;
    }
    std::atomic<ConsentQuestion::Choice> consentChoice{ConsentQuestion::Choice::Decline};
    // Recorded as "send? <text>"; answers `sendAnswer` (-1: closed unanswered).
    int AskSendTo(const std::string& text) override {
        Record("send? " + text);
        return sendAnswer;
    }
    std::atomic<int> sendAnswer{-1};
    void StartBeaconTimer() override;
    bool StopBeaconTimer() override;
    void Notify(const std::string& summary, const std::string& body) override {
        Record("notify " + summary + ": " + body);
    }
    void OpenSettings() override { Record("open settings"); }
    void ShowWaiting(const std::string& text) override;

    std::vector<std::string> Calls() const;
    // The last ShowWaiting (kept apart from the calls).
    std::string Waiting() const;
    std::vector<std::string> Messages() const { return WithPrefix("message "); }
    std::vector<int> Positions() const;
    std::vector<std::string> Notes() const { return WithPrefix("notify "); }  // "summary: body"
    std::vector<std::string> Asked() const { return WithPrefix("ask "); }
    std::vector<std::string> SendQuestions() const { return WithPrefix("send? "); }
    bool barVisible() const { return barVisible_; }
    bool timerRunning() const { return timerRunning_; }
    void Clear();

    // While held, ShowMessage waits as a user who has not yet closed the box.
    void HoldMessages();
    void ReleaseMessages();
    int openMessages() const;
    // Waits (bounded) until `count` boxes are open at once.
    bool WaitForOpenMessages(int count) const;
    // Runs after each call is recorded, on the calling thread, as another thread might act
    // right then (it may call the heart; calls it makes run this again).
    std::function<void(const std::string& call)> afterCall;

private:
    std::vector<std::string> WithPrefix(const std::string& prefix) const;
    void Record(const std::string& call);
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    bool holdMessages_ = false;  // guarded by mutex_, as the two below
    int openMessages_ = 0;
    std::vector<std::string> calls_;
    std::string waiting_;
    std::atomic<bool> barVisible_{false};
    std::atomic<bool> timerRunning_{false};
};

class RecordingIconMaker : public IconMakerI {
public:
    void SetTrayIcon(uint16_t icon, bool modify) override;
    std::vector<int> Icons() const;
    int Last() const;

private:
    mutable std::mutex mutex_;
    std::vector<int> icons_;
};

class FakeSender : public SendWorker {
public:
    void SetCallback(Callback* callback) override { callback_ = callback; }
    void SetSendNotes(SendNotes* notes) override { notes_ = notes; }
    bool SendFile(const std::string& address, const std::string& port,
                  const std::string& path) override;
    // Recorded as "address port path tls:<hash or key id>".
    bool SendSecure(const std::string& address, const std::string& port, const std::string& path,
                    const SecurePeer& peer) override;
    bool Busy() const override { return busy_; }
    // Batches only once `batches` is set: recorded as "address port batch tls:<hash or id>".
    void SetBatchNotes(BatchNotes* notes) override { batchNotes_ = notes; }
    bool SendBatch(const std::string& address, const std::string& port,
                   const SecurePeer& peer) override;
    void Cancel() override;  // recorded as "cancel"; idle, no event
    BatchNotes* batchNotes() const { return batchNotes_; }
    std::atomic<bool> batches{false};
    // Ends a secure send as the real sender does: its note, then the last event.
    void EndSecurely(SendNotes::Outcome outcome, const std::string& reason = "");
    // Ends the running transfer as the real sender does: idle first, then the last event.
    void Finish() { Idle()->FinishedSending(); }
    void FailToConnect() { Idle()->FoundBuddy(nullptr, nullptr); }
    void FailToOpen();
    void FailToSend();

    std::vector<std::string> Sent() const;  // "address port path"
    // Runs after the sender turned idle and before its last event, as another thread might.
    std::function<void()> betweenIdleAndEvent;
    Callback* callback() const { return callback_; }

private:
    // Turns idle, runs betweenIdleAndEvent, and gives the callback for the last event.
    Callback* Idle();

    mutable std::mutex mutex_;
    std::vector<std::string> sent_;
    std::atomic<bool> busy_{false};
    Callback* callback_ = nullptr;
    SendNotes* notes_ = nullptr;
    BatchNotes* batchNotes_ = nullptr;
};

class FakeReceiver : public ReceiveWorker {
public:
    void SetCallback(Callback* callback) override { callback_ = callback; }
    void SetNotes(TransferNotes* notes) override { notes_ = notes; }
    void Start(int port) override { ports.push_back(port); }
    Callback* callback() const { return callback_; }
    TransferNotes* notes() const { return notes_; }
    std::vector<int> ports;

private:
    Callback* callback_ = nullptr;
    TransferNotes* notes_ = nullptr;
};

class FakeDiscovery : public DiscoveryWorker {
public:
    void StartReceiver() override { ++receiverStarts; }
    void SendBeacon(int port) override;
    void AnnounceShutdown() override { beacons.push_back("leave"); }
    bool buddyKnown() const override { return known; }
    void SetNotes(BeaconNotes* heard) override { notes = heard; }
    void SetCapability(std::optional<Capability> offer) override { capability = offer; }

    std::atomic<int> receiverStarts{0};
    BeaconNotes* notes = nullptr;
    std::optional<Capability> capability;  // what the announces offer
    std::vector<std::string> beacons;      // "b <port>" or "leave"
    std::atomic<int> beaconsSent{0};       // safe to read while another thread sends
    std::atomic<bool> known{false};

private:
    std::mutex mutex_;
};

class FakeUploader : public UploadWorker {
public:
    void Configure(Callback* callback, const std::string& serverHost, const std::string& userName,
                   const std::string& userPass, const std::string& targetFolder) override;
    void AddFile(const std::string& path) override { calls.push_back("add " + path); }
    void Start() override {
        busy_ = true;
        calls.push_back("start");
    }
    bool Busy() const override { return busy_; }
    // The job's end as the real job reports it.
    void Finish();

    std::vector<std::string> calls;  // "configure host user pass target", "add path", "start"
    Callback* callback = nullptr;

private:
    std::atomic<bool> busy_{false};
};

class FakeWorkerFactory : public WorkerFactory {
public:
    std::unique_ptr<UploadWorker> MakeUploader() override { return Keep(uploader); }
    std::unique_ptr<SendWorker> MakeSender() override { return Keep(sender); }
    std::unique_ptr<ReceiveWorker> MakeReceiver() override { return Keep(receiver); }
    std::unique_ptr<DiscoveryWorker> MakeDiscovery(Callback* callback) override {
        discoveryCallback = callback;
        return Keep(discovery);
    }

    // Owned by the drop window once made.
    FakeUploader* uploader = nullptr;
    FakeSender* sender = nullptr;
    FakeReceiver* receiver = nullptr;
    FakeDiscovery* discovery = nullptr;
    Callback* discoveryCallback = nullptr;

private:
    // Makes a fake and keeps a pointer to it for the test.
    template <typename Fake>
    static std::unique_ptr<Fake> Keep(Fake*& kept) {
        auto made = std::make_unique<Fake>();
        kept = made.get();
        return made;
    }
};
