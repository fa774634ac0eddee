#include "ui/MainDialog.h"

#include <cctype>
#include <chrono>
#include <climits>
#include <thread>

#include "core/ActivityLog.h"
#include "settings/LiveSettings.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"
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

}  // namespace

// The receiver's events: all as the window's own, but for the end of an incoming file, which
// must not take an entry off the send queue.
class MainDialog::IncomingEvents : public Callback {
public:
    explicit IncomingEvents(MainDialog& owner) : owner_(owner) {}
    void FoundBuddy(const char* address, const char* port) override {
        owner_.FoundBuddy(address, port);
    }
    void LostBuddy(bool error) override { owner_.LostBuddy(error); }
    void ShowProgress(int64_t done, int64_t total) override { owner_.ShowProgress(done, total); }
    void IncomingFile() override { owner_.IncomingFile(); }
    void FinishedSending() override { owner_.IncomingFinished(); }
    void ReportError(int32_t code) override { owner_.ReportError(code); }

private:
    MainDialog& owner_;
};

MainDialog::MainDialog(DropView& view, WorkerFactory& workers)
    : view_(view),
      uploader_(workers.MakeUploader()),
      sender_(workers.MakeSender()),
      receiver_(workers.MakeReceiver()),
      incomingEvents_(std::make_unique<IncomingEvents>(*this)),
      workers_(workers) {
    sender_->SetCallback(this);
    receiver_->SetCallback(incomingEvents_.get());
}

MainDialog::~MainDialog() {
    // No new transfer may start while the workers are being stopped; the beacons stop first,
    // since a buddy found would dispatch.
    closing_ = true;
    discovery_.reset();
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
    discovery_ = workers_.MakeDiscovery(this);
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
    SendNext();
}

void MainDialog::SendNext() {
    // Entered from the UI thread and from workers at once; one transfer at a time, and the
    // entry at the head stays there while it is being sent. Files dropped meanwhile wait for
    // the running transfer's end.
    std::lock_guard<std::mutex> guard(dispatchMutex_);
    if (closing_) {
        return;
    }
    std::string path;
    if (!queue_.Front(path)) {
        return;
    }
    if (senderInFlight_ || sender_->Busy() || uploader_->Busy()) {
        return;
    }
    if (BuddyMode()) {
        std::string address, port;
        LiveSettings.GetBuddy(address, port);
        senderInFlight_ = sender_->SendFile(address, port, path);
    } else if (LiveSettings.useftp != 0) {
        uploader_->AddFile(path);
        uploader_->Start();
    }
}

void MainDialog::PrepareShutdown() {
    if (discovery_) {
        discovery_->AnnounceShutdown();
    }
    WriteLog("Shutting down\n");
    CloseLog();
}

void MainDialog::SenderEnded() {
    std::lock_guard<std::mutex> guard(dispatchMutex_);
    senderInFlight_ = false;
}

void MainDialog::ShowIcon(uint16_t icon) {
    if (iconMaker_ != nullptr) {
        iconMaker_->SetTrayIcon(icon, true);
    }
}

void MainDialog::FoundBuddy(const char* address, const char* port) {
    if (address == nullptr && port == nullptr) {
        SenderEnded();  // the sender could not connect; the entry stays for the next dispatch
    }
    if (LiveSettings.auto_ != 0 && address != nullptr && port != nullptr) {
        LiveSettings.SetBuddy(address, port);  // in memory only
        ShowIcon(resource::kIconGreen);
        WriteLog("Found buddy at address: ");
        WriteLog(address);
        WriteLog("; port: ");
        WriteLog(port);
        WriteLog("\n");
        SendNext();
    }
    // A buddy answers our beacon once, only while we were still looking for one.
    if (view_.StopBeaconTimer() && discovery_) {
        discovery_->SendBeacon(listenPort);
    }
    ShowIcon(resource::kIconGreen);
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
                view_.ShowMessage(text);
            }
            break;
        }
        case 2:
            view_.ShowMessage(
                "Failed to connect to FTP Server - are you sure all your settings are correct?");
            break;
        case 3:
            view_.ShowMessage(
                "Failed to create file for incoming - perhaps you are out of disk space?");
            break;
        case 4:
            SenderEnded();
            view_.ShowMessage("Failed while sending - perhaps the other side has gone away?");
            break;
        case 5:
            view_.ShowMessage("Failed while receiving - perhaps the other side has gone away?");
            break;
        default:
            WriteLog("Unknown error code");
            break;
    }
    std::lock_guard<std::mutex> guard(progressMutex_);
    lastPercent_ = 0;
}
