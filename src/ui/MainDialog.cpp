#include "ui/MainDialog.h"

#include <cctype>
#include <chrono>
#include <climits>
#include <thread>

#include "core/ActivityLog.h"
#include "settings/LiveSettings.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"
#include "transfer/WireFormat.h"
#include "ui/ResourceIds.h"

std::atomic<int32_t> listenPort{6677};

namespace {

using Text = LiveSettingsStore::Text;

// The leading decimal number of a text: blanks and a sign may lead, reading stops at the first
// other character, no digits give 0.
int32_t LeadingNumber(const std::string& text) {
    size_t i = 0;
    while (i < text.size() && isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    int64_t value = 0;
    for (; i < text.size() && isdigit(static_cast<unsigned char>(text[i])); ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > INT32_MAX) {
            value = INT32_MAX;
        }
    }
    return static_cast<int32_t>(negative ? -value : value);
}

// How far the bar must move before it is redrawn: a few dozen redraws a transfer at most.
float ProgressStep(int64_t total) {
    if (total < 262144)
        return 10.0f;
    if (total < 1048576)
        return 5.0f;
    if (total < 10485760)
        return 2.0f;
    if (total < 209715200)
        return 1.0f;
    return 0.5f;
}

bool BuddyMode() {
    return LiveSettings.manual != 0 || LiveSettings.auto_ != 0;
}

// The first-run address, and an empty one, say that no buddy was ever entered.
bool UsableAddress(const std::string& address) {
    return !address.empty() && address != "255.255.255.255";
}

// Keys of the message boxes that are not one of the error codes.
constexpr int kConnectionBox = -1;
constexpr int kNoBuddyBox = -2;

// The UTF-8 of a direction control (U+202A..U+202E, U+2066..U+2069): in a name shown to the
// user it could turn "gpj.exe" into what reads as a picture's name.
bool DirectionControlAt(const std::string& text, size_t i) {
    if (i + 2 >= text.size() || static_cast<unsigned char>(text[i]) != 0xE2) {
        return false;
    }
    const unsigned char second = static_cast<unsigned char>(text[i + 1]);
    const unsigned char third = static_cast<unsigned char>(text[i + 2]);
    return (second == 0x80 && third >= 0xAA && third <= 0xAE) ||
           (second == 0x81 && third >= 0xA6 && third <= 0xA9);
}

// A file name for the user's eyes: from the network it may hold control bytes or run long.
std::string Printable(const std::string& name) {
    constexpr size_t kLongest = 255;
    std::string shown = name;
    if (shown.size() > kLongest) {
        size_t cut = kLongest;
        while (cut > 0 && (static_cast<unsigned char>(shown[cut]) & 0xC0) == 0x80) {
            --cut;  // not in the middle of a character
        }
        shown = shown.substr(0, cut) + "...";
    }
    std::string printable;
    for (size_t i = 0; i < shown.size(); ++i) {
        const unsigned char byte = static_cast<unsigned char>(shown[i]);
        if (DirectionControlAt(shown, i)) {
            printable += '?';
            i += 2;
        } else {
            printable += byte < 0x20 || byte == 0x7f ? '?' : shown[i];
        }
    }
    return printable;
}

// The name a queued path goes out under.
std::string NameOf(const std::string& path) {
    return Printable(std::string(wire::NameFromPath(path)));
}

// Passes every event on to the window's own handler; the adapters below change one or two.
class ForwardedEvents : public Callback {
public:
    explicit ForwardedEvents(MainDialog& owner) : owner_(owner) {}
    void FoundBuddy(const char* address, const char* port) override {
        owner_.FoundBuddy(address, port);
    }
    void LostBuddy(bool error) override { owner_.LostBuddy(error); }
    void ShowProgress(int64_t done, int64_t total) override { owner_.ShowProgress(done, total); }
    void IncomingFile() override { owner_.IncomingFile(); }
    void FinishedSending() override { owner_.FinishedSending(); }
    void ReportError(int32_t code) override { owner_.ReportError(code); }

protected:
    ~ForwardedEvents() = default;
    MainDialog& owner_;
};

}  // namespace

// The receiver's events: all as the window's own, but for the end of an incoming file, which
// must not take an entry off the send queue.
class MainDialog::IncomingEvents final : public ForwardedEvents {
public:
    using ForwardedEvents::ForwardedEvents;
    void FinishedSending() override { owner_.IncomingFinished(); }
};

// The sender's events: its FoundBuddy without an address is a failed connection, which the
// FTP job's (after a logon attempt) is not; its errors end the send.
class MainDialog::SenderEvents final : public ForwardedEvents {
public:
    using ForwardedEvents::ForwardedEvents;
    void FoundBuddy(const char* address, const char* port) override {
        if (address == nullptr && port == nullptr) {
            owner_.ConnectionFailed();
        } else {
            owner_.FoundBuddy(address, port);
        }
    }
    void ReportError(int32_t code) override { owner_.SendFailed(code); }
};

MainDialog::MainDialog(DropView& view, WorkerFactory& workers)
    : view_(view),
      uploader_(workers.MakeUploader()),
      sender_(workers.MakeSender()),
      receiver_(workers.MakeReceiver()),
      incomingEvents_(std::make_unique<IncomingEvents>(*this)),
      senderEvents_(std::make_unique<SenderEvents>(*this)),
      workers_(workers) {
    sender_->SetCallback(senderEvents_.get());
    receiver_->SetCallback(incomingEvents_.get());
    receiver_->SetNotes(this);
}

MainDialog::~MainDialog() {
    {
        // No new transfer may start while the workers are being stopped.
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        closing_ = true;
    }
    // The beacons stop first, since a buddy found would dispatch. Workers still running find
    // no discovery to send with from here on.
    std::unique_ptr<DiscoveryWorker> discovery;
    {
        std::lock_guard<std::mutex> guard(discoveryMutex_);
        discovery = std::move(discovery_);
    }
    discovery.reset();
    receiver_.reset();
    sender_.reset();
    uploader_.reset();
}

void MainDialog::Initialize() {
    const std::string autoport =
        RegistryText(SettingKey("autoport"), "6677", true, RegRoot::CurrentUser).Get();
    if (!autoport.empty()) {
        listenPort = LeadingNumber(autoport);
    }
    {
        std::lock_guard<std::mutex> guard(discoveryMutex_);
        discovery_ = workers_.MakeDiscovery(this);
    }
    if (LiveSettings.useftp == 0) {
        if (LiveSettings.manual != 0) {
            listenPort = LeadingNumber(LiveSettings.Get(Text::serverport));
        }
        if (LiveSettings.server != 0) {
            receiver_->Start(listenPort);
        }
    }
    if (LiveSettings.auto_ != 0) {
        receiver_->Start(listenPort);
        discovery_->StartReceiver();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        discovery_->SendBeacon(listenPort);
        view_.StartBeaconTimer();
    }
}

void MainDialog::OnTimer() {
    if (LiveSettings.auto_ != 0 && discovery_ && !discovery_->buddyKnown()) {
        discovery_->SendBeacon(listenPort);
    }
}

void MainDialog::OnDropFiles(const std::vector<std::string>& paths) {
    view_.PlayBark();
    view_.ShowProgressBar(true);
    view_.SetProgressPosition(100);
    view_.Activate();
    if (LiveSettings.useftp != 0) {
        const SettingsValues settings = LiveSettings.Snapshot();
        uploader_->Configure(this, settings.ftpip, settings.user, settings.pass, settings.target);
    }
    for (const std::string& path : paths) {
        queue_.Add(path);
    }
    const Dispatch outcome = DispatchHead();
    if (outcome == Dispatch::Started || outcome == Dispatch::Busy) {
        return;
    }
    // The bar's 100 said "taken"; with nothing going out it must not stay.
    ClearBar();
    if (outcome == Dispatch::NoBuddy && LiveSettings.auto_ == 0) {
        ShowIcon(resource::kIconRed);  // nothing could be sent
        if (ShowMessageOnce(kNoBuddyBox,
                            "No buddy is set. Enter your buddy's address in "
                            "Settings; the files wait in the queue.")) {
            view_.OpenSettings();
        }
    }
}

void MainDialog::SendNext() {
    DispatchHead();
}

MainDialog::Dispatch MainDialog::DispatchHead() {
    // Entered from the UI thread and from workers at once; one transfer at a time, and the
    // entry at the head stays there while it is being sent. Files dropped meanwhile wait for
    // the running transfer's end.
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        if (closing_) {
            return Dispatch::Idle;
        }
        std::string path;
        if (!queue_.Front(path)) {
            return Dispatch::Idle;
        }
        if (senderInFlight_ || sender_->Busy() || uploader_->Busy()) {
            return Dispatch::Busy;
        }
        if (BuddyMode()) {
            std::string address, port;
            Target(address, port);
            if (UsableAddress(address)) {
                senderInFlight_ = sender_->SendFile(address, port, path);
                if (!senderInFlight_) {
                    return Dispatch::Busy;
                }
                sendingPath_ = path;
                sendingAddress_ = address;
                sendingPort_ = port;
                return Dispatch::Started;
            }
        } else if (LiveSettings.useftp != 0) {
            uploader_->AddFile(path);
            uploader_->Start();
            return Dispatch::Started;
        } else {
            return Dispatch::Idle;
        }
    }
    // Never a connection to the broadcast address: the files wait for a buddy.
    WriteLog(LiveSettings.auto_ != 0 ? "No buddy found yet; the files wait in the queue\n"
                                     : "No buddy address set; the files wait in the queue\n");
    return Dispatch::NoBuddy;
}

void MainDialog::Target(std::string& address, std::string& port) {
    if (LiveSettings.auto_ != 0) {
        std::lock_guard<std::mutex> guard(buddyMutex_);
        if (buddyFound_) {
            address = foundAddress_;
            port = foundPort_;
            return;
        }
    }
    LiveSettings.GetBuddy(address, port);
}

void MainDialog::PrepareShutdown() {
    if (discovery_) {
        discovery_->AnnounceShutdown();
    }
    WriteLog("Shutting down\n");
    CloseLog();
}

void MainDialog::SenderEnded(std::string* path, std::string* address, std::string* port) {
    std::lock_guard<std::mutex> guard(dispatchMutex_);
    senderInFlight_ = false;
    if (path != nullptr) {
        *path = sendingPath_;
    }
    if (address != nullptr) {
        *address = sendingAddress_;
    }
    if (port != nullptr) {
        *port = sendingPort_;
    }
}

void MainDialog::ShowIcon(uint16_t icon) {
    if (iconMaker_ != nullptr) {
        iconMaker_->SetTrayIcon(icon, true);
    }
}

void MainDialog::Announce() {
    std::lock_guard<std::mutex> guard(discoveryMutex_);
    if (discovery_) {
        discovery_->SendBeacon(listenPort);
    }
}

bool MainDialog::ShowMessageOnce(int key, const std::string& text) {
    {
        std::lock_guard<std::mutex> guard(boxesMutex_);
        if (!openBoxes_.insert(key).second) {
            // The user is looking at this very message already; this worker need not wait.
            WriteLog("Not shown again while open: " + text + "\n");
            return false;
        }
    }
    view_.ShowMessage(text);
    std::lock_guard<std::mutex> guard(boxesMutex_);
    openBoxes_.erase(key);
    return true;
}

void MainDialog::FoundBuddy(const char* address, const char* port) {
    const bool announce = address != nullptr && port != nullptr;
    if (LiveSettings.auto_ != 0 && announce) {
        {
            std::lock_guard<std::mutex> guard(buddyMutex_);
            buddyFound_ = true;
            foundAddress_ = address;
            foundPort_ = port;
        }
        LiveSettings.SetBuddy(address, port);  // in memory only
        ShowIcon(resource::kIconGreen);
        WriteLog("Found buddy at address: ");
        WriteLog(address);
        WriteLog("; port: ");
        WriteLog(port);
        WriteLog("\n");
        SendNext();
    }
    // We answer a copy that announces itself while we still look for a buddy, and, now and
    // then, one we know already: it may have restarted and be looking for us.
    const bool looking = view_.StopBeaconTimer();
    bool answer = looking;
    if (announce) {
        std::lock_guard<std::mutex> guard(answersMutex_);
        answer = answers_.ShouldAnswer(address, looking, AnnounceAnswerRule::Clock::now());
    }
    if (answer) {
        Announce();
    }
    ShowIcon(resource::kIconGreen);
}

void MainDialog::ConnectionFailed() {
    std::string path, address, port;
    SenderEnded(&path, &address, &port);  // the entry stays for the next dispatch
    ShowIcon(resource::kIconRed);
    ClearBar();
    view_.Notify("Send failed", NameOf(path) + " to " + address + ": it waits in the queue");
    ShowMessageOnce(
        kConnectionBox,
        "Could not connect to your buddy at " + address + ", port " + port +
            ". The files wait in the queue and go " +
            (LiveSettings.auto_ != 0 ? "when your buddy is heard again, or with your next drop."
                                     : "with your next drop."));
}

void MainDialog::SendFailed(int32_t code) {
    std::string path, address;
    // For code 1 the send ends as its entry leaves the queue, in one step: were it over
    // before, a dispatch right then would send that entry again, and the next code 1 or
    // FinishedSending would take off the entry behind it.
    if (code != 1) {
        SenderEnded(&path, &address);
    }
    // The send is over and nothing follows it until the next drop or buddy.
    ClearBar();
    if (code == 4) {
        view_.Notify("Send failed", NameOf(path) + " to " + address + ": it waits in the queue");
    }
    ReportError(code);
}

void MainDialog::LostBuddy(bool error) {
    view_.StartBeaconTimer();
    view_.ShowProgressBar(true);
    view_.SetProgressPosition(0);
    view_.ShowProgressBar(false);
    ShowIcon(error ? resource::kIconRed : resource::kIconDog);
}

void MainDialog::ShowProgress(int64_t done, int64_t total) {
    // An empty incoming file brings a total of 0: there is nothing to measure against.
    if (total <= 0) {
        return;
    }
    const float ratio = static_cast<float>(static_cast<double>(done) / static_cast<double>(total));
    float percent = ratio * 100.0f;
    // The receiver counts the header too, so its last report runs past the total.
    percent = percent < 0.0f ? 0.0f : (percent > 100.0f ? 100.0f : percent);
    {
        std::lock_guard<std::mutex> guard(progressMutex_);
        if (percent - lastPercent_ < ProgressStep(total)) {
            return;
        }
        lastPercent_ = percent;
    }
    view_.ShowProgressBar(true);
    view_.SetProgressPosition(static_cast<int>(percent));
}

void MainDialog::IncomingFile() {
    ShowIcon(resource::kIconGreen);
    view_.PlayBark();
    view_.ShowProgressBar(true);
    view_.SetProgressPosition(100);
    view_.SetProgressPosition(0);
}

void MainDialog::ResetProgress() {
    {
        std::lock_guard<std::mutex> guard(progressMutex_);
        lastPercent_ = 0;
    }
    view_.SetProgressPosition(0);
    if (queue_.Count() == 0) {
        view_.ShowProgressBar(false);
    }
}

void MainDialog::FinishedSending() {
    {
        // The sent entry leaves before anyone may dispatch again.
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        queue_.RemoveFront();
        senderInFlight_ = false;
    }
    ResetProgress();
    if (BuddyMode()) {
        ShowIcon(resource::kIconGreen);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SendNext();
    } else {
        ShowIcon(resource::kIconDog);
    }
}

void MainDialog::IncomingFinished() {
    ResetProgress();
    ShowIcon(BuddyMode() ? resource::kIconGreen : resource::kIconDog);
}

void MainDialog::ReportError(int32_t code) {
    WriteLogValue("Error code", code);
    ShowIcon(resource::kIconRed);
    {
        std::lock_guard<std::mutex> guard(progressMutex_);
        lastPercent_ = 0;
    }
    // One box per code at a time: a worker that would add another logs and goes on at once,
    // so a burst of failures leaves no threads waiting on boxes nobody will answer.
    switch (code) {
        case 1: {
            std::string path;
            std::string text;
            {
                std::lock_guard<std::mutex> guard(dispatchMutex_);
                if (queue_.Front(path)) {
                    text = "Failed to open " + path;
                }
                queue_.RemoveFront();
                senderInFlight_ = false;
            }
            if (!path.empty()) {
                text += "; maybe it is locked by another application or doesn't exist?";
                ShowMessageOnce(code, text);
            }
            break;
        }
        case 2:
            ShowMessageOnce(
                code,
                "Failed to connect to FTP Server - are you sure all your settings are correct?");
            break;
        case 3:
            ShowMessageOnce(
                code, "Failed to create file for incoming - perhaps you are out of disk space?");
            break;
        case 4:
            SenderEnded();
            ShowMessageOnce(code, "Failed while sending - perhaps the other side has gone away?");
            break;
        case 5:
            ShowMessageOnce(code, "Failed while receiving - perhaps the other side has gone away?");
            break;
        default:
            WriteLog("Unknown error code");
            break;
    }
}

void MainDialog::ClearBar() {
    {
        std::lock_guard<std::mutex> guard(progressMutex_);
        lastPercent_ = 0;
    }
    view_.SetProgressPosition(0);
    view_.ShowProgressBar(false);
}

void MainDialog::FileReceived(const std::string& name, const std::string& peerAddress) {
    view_.FileArrived(name, Printable(name), peerAddress);
}

void MainDialog::ReceiveFailed(const std::string& name, const std::string& peerAddress) {
    // A stream cut before its header was whole brings no name.
    view_.Notify("Receive failed", (name.empty() ? std::string("A file") : Printable(name)) +
                                       " from " + peerAddress + ": nothing was kept");
}
