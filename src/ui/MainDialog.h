#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/Callback.h"
#include "core/IconMakerI.h"
#include "transfer/FileStorage.h"
#include "ui/DropView.h"
#include "ui/WorkerFactory.h"

// The TCP port this copy receives on and its beacons announce; set by Initialize.
extern std::atomic<int32_t> listenPort;

// The heart of the drop window: owns the send queue and the workers, queues dropped files,
// hands them out one at a time and turns the workers' events into what the user sees. Plain
// C++: it reaches the screen only through its DropView. Events arrive on worker threads.
class MainDialog : public Callback {
public:
    MainDialog(DropView& view, WorkerFactory& workers);
    MainDialog(const MainDialog&) = delete;
    MainDialog& operator=(const MainDialog&) = delete;
    virtual ~MainDialog();

    // Set by the main frame before Initialize.
    void SetIconMaker(IconMakerI* iconMaker) { iconMaker_ = iconMaker; }

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

    FileStorage& queue() { return queue_; }

private:
    class IncomingEvents;

    // The end of an incoming file: reset the progress display, leave the send queue alone.
    void IncomingFinished();
    void ShowIcon(uint16_t icon);
    void SenderEnded();
    void ResetProgress();

    DropView& view_;
    IconMakerI* iconMaker_ = nullptr;
    std::mutex progressMutex_;
    float lastPercent_ = 0;  // guarded by progressMutex_
    FileStorage queue_;
    std::unique_ptr<DiscoveryWorker> discovery_;
    std::unique_ptr<UploadWorker> uploader_;
    std::unique_ptr<SendWorker> sender_;
    std::unique_ptr<ReceiveWorker> receiver_;
    std::unique_ptr<IncomingEvents> incomingEvents_;
    WorkerFactory& workers_;
    std::mutex dispatchMutex_;
    // From a dispatch to the sender until its transfer's end has been dealt with: the sender
    // itself turns idle a moment before its last event, while the entry it sent still heads
    // the queue.
    bool senderInFlight_ = false;  // guarded by dispatchMutex_
    std::atomic<bool> closing_{false};
};
