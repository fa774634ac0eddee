#include "heart/FakeWorkers.h"

#include <chrono>

#include "core/EventCodes.h"

void RecordingView::Record(const std::string& call) {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        calls_.push_back(call);
    }
    if (afterCall)
        afterCall(call);
}
void RecordingView::ShowProgressBar(bool visible) {
    barVisible_ = visible;
    Record(visible ? "bar shown" : "bar hidden");
}
int RecordingView::AskBuddyProblem(const std::string& text, const std::vector<std::string>&) {
    Record("ask " + text);
    return answer;
}
void RecordingView::ShowMessage(const std::string& text) {
    Record("message " + text);
    std::unique_lock<std::mutex> guard(mutex_);
    ++openMessages_;
    changed_.notify_all();
    changed_.wait(guard, [this] { return !holdMessages_; });
    --openMessages_;
    changed_.notify_all();
}
void RecordingView::HoldMessages() {
    std::lock_guard<std::mutex> guard(mutex_);
    holdMessages_ = true;
}
void RecordingView::ReleaseMessages() {
    std::lock_guard<std::mutex> guard(mutex_);
    holdMessages_ = false;
    changed_.notify_all();
}
int RecordingView::openMessages() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return openMessages_;
}
bool RecordingView::WaitForOpenMessages(int count) const {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, std::chrono::seconds(10),
                             [&] { return openMessages_ >= count; });
}
void RecordingView::StartBeaconTimer() {
    timerRunning_ = true;
    Record("timer start");
}
bool RecordingView::StopBeaconTimer() {
    Record("timer stop");
    return timerRunning_.exchange(false);
}
void RecordingView::ShowWaiting(const std::string& text) {
    std::lock_guard<std::mutex> guard(mutex_);
    waiting_ = text;
}
std::string RecordingView::Waiting() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return waiting_;
}
std::vector<std::string> RecordingView::Calls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return calls_;
}
std::vector<std::string> RecordingView::WithPrefix(const std::string& prefix) const {
    std::vector<std::string> found;
    for (const std::string& call : Calls()) {
        if (call.rfind(prefix, 0) == 0)
            found.push_back(call.substr(prefix.size()));
    }
    return found;
}
std::vector<int> RecordingView::Positions() const {
    std::vector<int> positions;
    for (const std::string& call : Calls()) {
        if (call.rfind("pos ", 0) == 0)
            positions.push_back(std::stoi(call.substr(4)));
    }
    return positions;
}
void RecordingView::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    calls_.clear();
}

void RecordingIconMaker::SetTrayIcon(uint16_t icon, bool modify) {
    std::lock_guard<std::mutex> guard(mutex_);
    icons_.push_back(modify ? icon : -icon);
}
std::vector<int> RecordingIconMaker::Icons() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return icons_;
}
int RecordingIconMaker::Last() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return icons_.empty() ? 0 : icons_.back();
}

bool FakeSender::SendFile(const std::string& address, const std::string& port,
                          const std::string& path) {
    if (busy_.exchange(true)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    sent_.push_back(address + " " + port + " " + path);
    return true;
}
bool FakeSender::SendSecure(const std::string& address, const std::string& port,
                            const std::string& path, const SecurePeer& peer) {
    if (busy_.exchange(true)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    sent_.push_back(address + " " + port + " " + path +
                    " tls:" + (peer.keyHash.empty() ? peer.keyId : peer.keyHash));
    return true;
}
bool FakeSender::SendBatch(const std::string& address, const std::string& port,
                           const SecurePeer& peer) {
    if (!batches || busy_.exchange(true)) {
        return false;
    }
    std::lock_guard<std::mutex> guard(mutex_);
    sent_.push_back(address + " " + port +
                    " batch tls:" + (peer.keyHash.empty() ? peer.keyId : peer.keyHash));
    return true;
}
void FakeSender::Cancel() {
    busy_ = false;
    std::lock_guard<std::mutex> guard(mutex_);
    sent_.push_back("cancel");
}
void FakeSender::EndSecurely(SendNotes::Outcome outcome, const std::string& reason) {
    busy_ = false;
    notes_->SecureSendEnded(outcome, reason);
    if (outcome == SendNotes::Outcome::Delivered) {
        callback_->FinishedSending();
    } else {
        callback_->ReportError(error_code::kSendFailed);
    }
}
Callback* FakeSender::Idle() {
    busy_ = false;
    if (betweenIdleAndEvent)
        betweenIdleAndEvent();
    return callback_;
}
void FakeSender::FailToOpen() {
    Idle()->ReportError(error_code::kCannotOpenToSend);
}
void FakeSender::FailToSend() {
    busy_ = false;
    callback_->ReportError(error_code::kSendFailed);
}
std::vector<std::string> FakeSender::Sent() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return sent_;
}

void FakeDiscovery::SendBeacon(int port) {
    std::lock_guard<std::mutex> guard(mutex_);
    beacons.push_back("b " + std::to_string(port));
    ++beaconsSent;
}

void FakeUploader::Configure(Callback* callback_, const std::string& serverHost,
                             const std::string& userName, const std::string& userPass,
                             const std::string& targetFolder) {
    callback = callback_;
    calls.push_back("configure " + serverHost + " " + userName + " " + userPass + " " +
                    targetFolder);
}
void FakeUploader::Finish() {
    callback->FinishedSending();
    busy_ = false;
}
