#include "heart/MainDialog.h"

#include <sys/stat.h>

#include <cctype>
#include <chrono>
#include <climits>
#include <thread>

#include "core/ActivityLog.h"
#include "core/DisplayName.h"
#include "core/EventCodes.h"
#include "heart/ConsentDesk.h"
#include "heart/SendConsent.h"
#include "heart/SendingProgress.h"
#include "net/PortNumber.h"
#include "settings/LiveSettings.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"
#include "transfer/FolderWalk.h"
#include "transfer/WireFormat.h"

std::atomic<int32_t> listenPort{6677};

namespace {

using Text = LiveSettingsStore::Text;

// A port setting, read by the one port parser: text that is no port number is said in the
// log and gives -1, on which the receiver does not listen (and no peer takes the beacon).
int32_t PortSetting(const std::string& text) {
    if (const std::optional<uint16_t> port = net::ParsePort(text)) {
        return *port;
    }
    WriteLog("Port setting \"" + DisplayName(text, 64) + "\" is not a port number\n");
    return -1;
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

// File names from the network are shown at most this long, cut in the middle.
constexpr size_t kShownName = 255;
constexpr size_t kLongestMessage = 1024;

// The name a queued path goes out under.
std::string NameOf(const std::string& path) {
    return DisplayName(wire::NameFromPath(path), kShownName);
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
    void ReportError(int32_t code) override {
        if (code == error_code::kReceiveFailed || code == error_code::kCannotWriteIncoming) {
            owner_.IncomingFailed(code);
        } else {
            owner_.ReportError(code);
        }
    }
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
    void FinishedSending() override { owner_.Delivered(); }
};

MainDialog::MainDialog(DropView& view, WorkerFactory& workers,
                       std::chrono::milliseconds beaconPeriod)
    : view_(view),
      beaconPeriod_(beaconPeriod),
      uploader_(workers.MakeUploader()),
      sender_(workers.MakeSender()),
      receiver_(workers.MakeReceiver()),
      incomingEvents_(std::make_unique<IncomingEvents>(*this)),
      senderEvents_(std::make_unique<SenderEvents>(*this)),
      workers_(workers),
      answers_(beaconPeriod) {
    sender_->SetCallback(senderEvents_.get());
    sender_->SetSendNotes(this);
    sender_->SetBatchNotes(this);
    paired_ = workers.PairedSource();
    ownKeyId_ = workers.OwnKeyId();
    consent_ = std::make_unique<ConsentDesk>(view_, paired_, [] {
        return ConsentDesk::PolicyFromText(LiveSettings.Get(Text::strangers));
    });
    receiver_->SetCallback(incomingEvents_.get());
    receiver_->SetNotes(this);
    consent_->SetAnnouncedNames([this](const std::string& address) {
        std::lock_guard<std::mutex> guard(peersMutex_);
        const std::optional<PeerDirectory::Entry> heard = peers_.Find(address);
        return heard && heard->capability ? heard->capability->name : std::string();
    });
    receiver_->SetConsent(consent_.get());
    retryTimer_ = std::make_unique<RetryTimer>([this] { RetryDue(); });
    sendAsker_ = std::make_unique<RetryTimer>([this] { AskSendQuestion(); });
}

MainDialog::~MainDialog() {
    {
        // No new transfer may start while the workers are being stopped.
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        closing_ = true;
    }
    retryTimer_->Stop();
    sendAsker_->Stop();
    // The beacons stop first, since a buddy found would dispatch. Workers still running find
    // no discovery to send with from here on.
    std::unique_ptr<DiscoveryWorker> discovery;
    {
        std::lock_guard<std::mutex> guard(discoveryMutex_);
        discovery = std::move(discovery_);
    }
    discovery.reset();
    consent_->Stop();  // a receiver waiting on a question goes at once
    receiver_.reset();
    for (std::thread& retiring : retiring_) {
        retiring.join();
    }
    sender_.reset();
    uploader_.reset();
}

void MainDialog::SetConsentTimes(std::chrono::milliseconds answer,
                                 std::chrono::milliseconds follow) {
    consent_->SetTimes(answer, follow);
}

void MainDialog::Initialize() {
    const std::string autoport =
        RegistryText(SettingKey("autoport"), "6677", true, RegRoot::CurrentUser).Get();
    if (!autoport.empty()) {
        listenPort = PortSetting(autoport);
    }
    {
        std::lock_guard<std::mutex> guard(discoveryMutex_);
        discovery_ = NewDiscovery();
    }
    if (LiveSettings.useftp == 0) {
        if (LiveSettings.manual != 0) {
            listenPort = PortSetting(LiveSettings.Get(Text::serverport));
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
    receiverPort_ =
        (LiveSettings.useftp == 0 && LiveSettings.server != 0) || LiveSettings.auto_ != 0
            ? listenPort.load()
            : -1;
    discoveryRunning_ = LiveSettings.auto_ != 0;
    UpdateWaiting();
    // What an earlier run left goes on its own, a little after the start.
    ScheduleRetry();
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
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        held_ = false;  // a drop sends what Cancel sending kept, too
    }
    if (LiveSettings.useftp != 0) {
        const SettingsValues settings = LiveSettings.Snapshot();
        uploader_->Configure(this, settings.ftpip, settings.user, settings.pass, settings.target);
    }
    // A name with a line break would come back after a restart as two paths, the second any
    // file: such paths are refused, the rest of the drop is queued in one write.
    std::string refused;
    for (const std::string& path : queue_.AddAll(paths)) {
        refused += (refused.empty() ? "" : ", ") + DisplayName(path, kShownName);
    }
    if (!refused.empty()) {
        view_.Notify("Not queued", refused + ": a name with a line break cannot be sent");
    }
    UpdateWaiting();
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        sendUnanswered_.clear();  // a new drop may ask again
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
    std::optional<Route> route;
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
        if (held_) {
            return Dispatch::Idle;
        }
        if (BuddyMode()) {
            std::string address, port;
            Target(address, port);
            if (UsableAddress(address)) {
                route = ChooseRoute(address);
            } else if (const std::optional<PairedBuddy> buddy = Paired();
                       buddy && LiveSettings.auto_ != 0 && UsableAddress(buddy->address)) {
                // Not found, perhaps because its announces lost what the pairing needs.
                route = ChooseRoute(buddy->address);
                if (!route->problem) {
                    route.reset();
                }
            }
            if (route && !route->problem) {
                if (!MaySendTo(*route)) {
                    return Dispatch::Held;
                }
                if (!route->secure && !FlattenFolders(path, address)) {
                    return Dispatch::Idle;
                }
                if (route->secure) {
                    {
                        std::lock_guard<std::mutex> secure(secureMutex_);
                        secureEnd_.reset();
                    }
                    // The whole queue in one session, entry by entry.
                    batchEnded_ = 0;
                    unopened_.clear();
                    sendingAddress_ = address;
                    batch_ = sender_->SendBatch(address, port, route->peer);
                    senderInFlight_ =
                        batch_ || sender_->SendSecure(address, port, path, route->peer);
                    if (batch_) {
                        std::lock_guard<std::mutex> progress(progressMutex_);
                        batchStart_ = std::chrono::steady_clock::now();
                        batchShown_ = {};
                    }
                } else {
                    senderInFlight_ = sender_->SendFile(address, port, path);
                }
                if (!senderInFlight_) {
                    return Dispatch::Busy;
                }
                sendingPath_ = path;
                sendingAddress_ = address;
                sendingPort_ = port;
                sendingRoute_ = *route;
                return Dispatch::Started;
            }
        } else if (LiveSettings.useftp != 0) {
            if (!FlattenFolders(path, "the FTP server")) {
                return Dispatch::Idle;
            }
            uploader_->AddFile(path);
            uploader_->Start();
            return Dispatch::Started;
        } else {
            return Dispatch::Idle;
        }
    }
    if (route && route->problem) {
        BuddyProblem(*route->problem, *route);
        return Dispatch::Held;
    }
    // Never a connection to the broadcast address: the files wait for a buddy.
    WriteLog(LiveSettings.auto_ != 0 ? "No buddy found yet; the files wait in the queue\n"
                                     : "No buddy address set; the files wait in the queue\n");
    ScheduleRetry();
    return Dispatch::NoBuddy;
}

bool MainDialog::MaySendTo(const Route& route) {
    // A typed address is the user's own choice; a paired computer is known; "accept" is the
    // old behaviour both ways.
    if (LiveSettings.auto_ == 0 || !route.keyHash.empty() ||
        ConsentDesk::PolicyFromText(LiveSettings.Get(Text::strangers)) ==
            ConsentDesk::Policy::Accept) {
        return true;
    }
    const std::string who = route.peer.keyId.empty() ? route.address : route.peer.keyId;
    switch (SendConsent::For(paired_, route.address, route.peer.keyId)) {
        case SendConsent::Verdict::Send:
            return true;
        case SendConsent::Verdict::NotThis:
            if (sendRefusedLogged_.insert(who).second) {
                WriteLog("Not sending to " + route.name + " at " + route.address +
                         " (not this computer); the files wait in the queue\n");
            }
            return false;
        case SendConsent::Verdict::Ask:
            break;
    }
    if (!sendQuestion_ && !sendUnanswered_.contains(who)) {
        sendQuestion_ = route;
        sendAsker_->Arm(std::chrono::milliseconds(0));
    }
    return false;
}

void MainDialog::AskSendQuestion() {
    Route route;
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        if (!sendQuestion_ || closing_) {
            return;
        }
        route = *sendQuestion_;
    }
    const std::string computer =
        route.name == route.address ? route.address : route.name + " at " + route.address;
    WriteLog("Asking whether to send the queue to " + computer + "\n");
    const int answer = view_.AskSendTo("Send your files to " + computer + "?" +
                                       (route.peer.keyId.empty() ? "" : " (not verified)"));
    const std::string who = route.peer.keyId.empty() ? route.address : route.peer.keyId;
    if (answer == 0 || answer == 1) {
        std::string name;
        {
            std::lock_guard<std::mutex> guard(peersMutex_);
            if (std::optional<PeerDirectory::Entry> heard = peers_.Find(route.address);
                heard && heard->capability) {
                name = heard->capability->name;
            }
        }
        if (!SendConsent::Remember(paired_, route.address, route.peer.keyId, name, answer == 0)) {
            WriteLog("Could not remember the answer for " + computer + "\n");
        }
        WriteLog(answer == 0 ? "Files go to " + computer + "\n"
                             : "Not this computer: " + computer + "\n");
    }
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        sendQuestion_.reset();
        if (answer != 0 && answer != 1) {
            sendUnanswered_.insert(who);
        }
    }
    if (answer == 0) {
        retryTimer_->Arm(std::chrono::milliseconds(0));
    }
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

void MainDialog::SenderEnded(std::string* path, std::string* address, std::string* port,
                             Route* route) {
    std::lock_guard<std::mutex> guard(dispatchMutex_);
    senderInFlight_ = false;
    batch_ = false;
    queue_.Flush();  // what a batch took off goes to the file now
    if (route != nullptr) {
        *route = sendingRoute_;
    }
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

bool MainDialog::ShowMessageOnce(int key, const std::string& message) {
    const std::string text = DisplayName(message, kLongestMessage);  // it may hold a path
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
        UpdateWaiting();
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

std::unique_ptr<DiscoveryWorker> MainDialog::NewDiscovery() {
    std::unique_ptr<DiscoveryWorker> discovery = workers_.MakeDiscovery(this);
    discovery->SetNotes(this);
    offered_ = OwnCapability();
    discovery->SetCapability(offered_);
    return discovery;
}

std::optional<Capability> MainDialog::OwnCapability() const {
    if (ownKeyId_.empty() || LiveSettings.advertisesecure == 0) {
        return std::nullopt;
    }
    return Capability{true, ownKeyId_, LiveSettings.Get(Text::computername)};
}

std::optional<PairedBuddy> MainDialog::Paired() const {
    return paired_ != nullptr ? paired_->Paired() : std::nullopt;
}

void MainDialog::LogIgnored(const char* what, const std::string& source) {
    {
        std::lock_guard<std::mutex> guard(peersMutex_);
        if (!guard_.ShouldLog(what, source, BuddyGuard::Clock::now())) {
            return;
        }
    }
    WriteLog(std::string("Ignored ") + what + " from " + DisplayName(source, 64) +
             ": not the paired buddy\n");
}

bool MainDialog::Announced(const std::string& source, const std::string& address,
                           const std::string& port, const std::optional<Capability>& capability) {
    {
        std::lock_guard<std::mutex> guard(peersMutex_);
        peers_.Record(source, address, port, capability);
    }
    if (BuddyGuard::AcceptAnnounce(Paired(), source, address, capability)) {
        return true;
    }
    // Not answered either: an answer is for a copy that could become our buddy, which this
    // one cannot, and answering would let anyone on the LAN make us send at will.
    LogIgnored("an announce", source);
    return false;
}

bool MainDialog::Left(const std::string& source, const std::string& /*address*/) {
    std::string buddy;
    {
        std::lock_guard<std::mutex> guard(buddyMutex_);
        if (buddyFound_) {
            buddy = foundAddress_;
        }
    }
    if (BuddyGuard::AcceptLeave(Paired(), buddy, source)) {
        return true;
    }
    LogIgnored("a leave", source);
    return false;
}

bool MainDialog::OffersTls(const std::string& address, std::string* keyId) const {
    std::lock_guard<std::mutex> guard(peersMutex_);
    return peers_.OffersTls(address, keyId);
}

void MainDialog::ConnectionFailed() {
    std::string path, address, port;
    SenderEnded(&path, &address, &port);  // the entry stays for the next dispatch
    ShowIcon(resource::kIconRed);
    ClearBar();
    view_.Notify("Send failed", NameOf(path) + " to " + address + ": it waits in the queue");
    ScheduleRetry();
    ShowMessageOnce(
        kConnectionBox,
        "Could not connect to your buddy at " + address + ", port " + port +
            ". The files wait in the queue and go " +
            (LiveSettings.auto_ != 0 ? "when your buddy is heard again, or with your next drop."
                                     : "with your next drop."));
}

void MainDialog::SendFailed(int32_t code) {
    std::string path, address;
    std::optional<std::pair<SendNotes::Outcome, std::string>> secureEnd;
    {
        std::lock_guard<std::mutex> guard(secureMutex_);
        secureEnd.swap(secureEnd_);
    }
    if (code == error_code::kSendFailed && secureEnd &&
        secureEnd->first != SendNotes::Outcome::Failed &&
        secureEnd->first != SendNotes::Outcome::Delivered) {
        // Ours to say better than "the other side has gone away".
        Route route;
        SenderEnded(&path, &address, nullptr, &route);
        ClearBar();
        switch (secureEnd->first) {
            case SendNotes::Outcome::Refused:
                RefusedByBuddy(path, address, secureEnd->second);
                break;
            case SendNotes::Outcome::IdentityMismatch:
                WriteLog("Another key answered at " + address + ": " +
                         DisplayName(secureEnd->second, 64) + "\n");
                BuddyProblem(Problem::IdentityChanged, route);
                break;
            default:
                WriteLog("No secure session with " + address + ": " +
                         DisplayName(secureEnd->second, 200) + "\n");
                BuddyProblem(Problem::HandshakeFailed, route);
                break;
        }
        BatchOver();
        return;
    }
    // For kCannotOpenToSend the send ends as its entry leaves the queue, in one step: were it
    // over before, a dispatch right then would send that entry again, and the next such error
    // or FinishedSending would take off the entry behind it.
    if (code != error_code::kCannotOpenToSend) {
        SenderEnded(&path, &address);
    }
    // The send is over; the queue is tried again after a pause, a drop or a buddy heard.
    ClearBar();
    if (code == error_code::kSendFailed && !CountFailure(path, address)) {
        view_.Notify("Send failed", NameOf(path) + " to " + address + ": it waits in the queue");
        ScheduleRetry(true);
    } else if (code == error_code::kCannotOpenToSend) {
        ScheduleRetry();  // the files behind the one that cannot be read
    }
    ReportError(code);
    BatchOver();
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
    UpdateWaiting();
    ResetProgress();
    if (BuddyMode()) {
        ShowIcon(resource::kIconGreen);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SendNext();
    } else {
        ShowIcon(resource::kIconDog);
        // The rest of the queue goes a little later, not only with the next drop.
        {
            std::lock_guard<std::mutex> guard(retryMutex_);
            retrySchedule_.Reset();
        }
        ScheduleRetry();
    }
}

void MainDialog::IncomingFinished() {
    ResetProgress();
    ShowIcon(BuddyMode() ? resource::kIconGreen : resource::kIconDog);
}

void MainDialog::IncomingFailed(int32_t code) {
    WriteLogValue("Error code", code);  // the line the sender's failures write too
    ClearBar();
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
        case error_code::kCannotOpenToSend: {
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
            UpdateWaiting();
            if (!path.empty()) {
                text += "; maybe it is locked by another application or doesn't exist?";
                ShowMessageOnce(code, text);
            }
            break;
        }
        case error_code::kFtpLogonFailed:
            ShowMessageOnce(
                code,
                "Failed to connect to FTP Server - are you sure all your settings are correct?");
            break;
        case error_code::kCannotWriteIncoming:
            ShowMessageOnce(
                code, "Failed to create file for incoming - perhaps you are out of disk space?");
            break;
        case error_code::kSendFailed:
            SenderEnded();
            ShowMessageOnce(code, "Failed while sending - perhaps the other side has gone away?");
            break;
        case error_code::kReceiveFailed:
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
    view_.FileArrived(name, DisplayName(name, kShownName), peerAddress);
}

void MainDialog::SecureFileReceived(const std::string& name, const std::string& peerAddress,
                                    const std::string& peerKeyHash) {
    const std::optional<PairedBuddy> buddy = Paired();
    if (!buddy || buddy->keyHash != peerKeyHash) {
        // A key the user never confirmed says nothing of who sent the file.
        FileReceived(name, peerAddress);
        return;
    }
    const std::string who = DisplayName(buddy->name.empty() ? buddy->keyId : buddy->name, 64);
    const std::string shown = DisplayName(name, kShownName);
    WriteLog("Received " + shown + " verified from " + who + " at " + peerAddress + "\n");
    view_.FileArrived(name, shown, who + " (verified, " + peerAddress + ")");
}

void MainDialog::ReceiveFailed(const std::string& name, const std::string& peerAddress) {
    // A stream cut before its header was whole brings no name.
    view_.Notify("Receive failed",
                 (name.empty() ? std::string("A file") : DisplayName(name, kShownName)) + " from " +
                     peerAddress + ": nothing was kept");
}

void MainDialog::BatchFileReceived(const IncomingBatch& batch, const std::string& stored) {
    std::lock_guard<std::mutex> guard(incomingMutex_);
    const auto found = incoming_.find(batch.peerAddress);
    if (found != incoming_.end()) {
        found->second.lastKept = stored;  // told with its group, at its end
    }
}

void MainDialog::BatchStarted(const IncomingBatch& batch) {
    std::lock_guard<std::mutex> guard(incomingMutex_);
    incoming_.insert_or_assign(batch.peerAddress,
                               Incoming{IncomingStatus(IncomingStatus::Clock::now()), {}});
}

void MainDialog::BatchProgress(const IncomingBatch& batch) {
    std::string text;
    {
        std::lock_guard<std::mutex> guard(incomingMutex_);
        const auto found = incoming_.find(batch.peerAddress);
        const auto now = IncomingStatus::Clock::now();
        if (found == incoming_.end() || !found->second.status.Due(batch, now)) {
            return;
        }
        text = found->second.status.Text(batch, now);
    }
    view_.ShowWaiting(text);
}

void MainDialog::BatchEnded(const IncomingBatch& batch, bool whole) {
    std::string lastKept;
    {
        std::lock_guard<std::mutex> guard(incomingMutex_);
        const auto found = incoming_.find(batch.peerAddress);
        if (found != incoming_.end()) {
            lastKept = found->second.lastKept;
            incoming_.erase(found);
        }
    }
    UpdateWaiting();
    // From the paired buddy's key the group is told as verified, as a lone file is.
    std::string from = batch.peerAddress;
    if (const std::optional<PairedBuddy> buddy = Paired();
        buddy && buddy->keyHash == batch.peerKeyHash) {
        from = DisplayName(buddy->name.empty() ? buddy->keyId : buddy->name, 64) + " (verified, " +
               batch.peerAddress + ")";
    }
    if (batch.filesKept == 0 && batch.files > 0) {
        view_.Notify("Receive failed", (batch.root.empty() ? std::to_string(batch.files) + " files"
                                                           : DisplayName(batch.root, kShownName)) +
                                           " from " + from + ": nothing was kept");
        return;
    }
    if (batch.filesKept == 0) {
        return;
    }
    // One arrival for the whole group: its folder, or its one file.
    std::string counted = std::to_string(batch.filesKept) +
                          (whole ? "" : " of " + std::to_string(batch.files)) +
                          (batch.files == 1 ? " file" : " files");
    if (!batch.storedRoot.empty()) {
        view_.FileArrived(batch.storedRoot,
                          DisplayName(batch.storedRoot, kShownName) + " (" + counted + ")", from);
    } else if (batch.filesKept == 1 && whole) {
        view_.FileArrived(lastKept, DisplayName(lastKept, kShownName), from);
    } else {
        view_.FileArrived(lastKept, counted, from);
    }
}

void MainDialog::SetRetrySchedule(RetrySchedule schedule) {
    std::lock_guard<std::mutex> guard(retryMutex_);
    retrySchedule_ = std::move(schedule);
}

void MainDialog::ScheduleRetry(bool quick) {
    if (queue_.Count() == 0) {
        retryTimer_->Disarm();
        return;
    }
    std::chrono::milliseconds pause;
    {
        std::lock_guard<std::mutex> guard(retryMutex_);
        pause =
            quick ? std::min(kRetryAfterRefusal, retrySchedule_.First()) : retrySchedule_.Next();
    }
    retryTimer_->Arm(pause);
    WriteLog("The queue is tried again in " + std::to_string(pause.count() / 1000) + " seconds\n");
}

void MainDialog::RetryDue() {
    // A failure or a missing buddy arms the timer again; a transfer's end dispatches itself.
    DispatchHead();
}

void MainDialog::Delivered() {
    bool batch = false;
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        batch = batch_;
    }
    if (batch) {
        // Each entry left the queue as its acknowledgement came; no pause before the next.
        {
            std::lock_guard<std::mutex> guard(secureMutex_);
            secureEnd_.reset();
        }
        SenderEnded();
        ResetProgress();
        UpdateWaiting();
        ShowIcon(resource::kIconGreen);
        NotifyRunEnded();
        std::vector<std::string> unopened;
        {
            std::lock_guard<std::mutex> guard(dispatchMutex_);
            unopened.swap(unopened_);
        }
        SendNext();  // what was queued after the session's last look goes now
        BatchOver(std::move(unopened));
        return;
    }
    std::string path, address;
    {
        std::lock_guard<std::mutex> guard(secureMutex_);
        secureEnd_.reset();
    }
    {
        // A buddy that took a file again is told of its next problem anew.
        std::lock_guard<std::mutex> guard(boxesMutex_);
        toldProblems_.clear();
    }
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        path = sendingPath_;
        address = sendingAddress_;
    }
    WriteLog("Sent " + NameOf(path) + " to " + address + "\n");
    {
        std::lock_guard<std::mutex> guard(retryMutex_);
        retrySchedule_.Reset();
        failingPath_.clear();
        failures_ = 0;
        ++sentInRun_;
        lastSentName_ = NameOf(path);
        lastSentAddress_ = address;
    }
    FinishedSending();
    NotifyRunEnded();
}

void MainDialog::NotifyRunEnded() {
    if (queue_.Count() != 0) {
        return;
    }
    std::string text;
    {
        std::lock_guard<std::mutex> guard(retryMutex_);
        if (sentInRun_ + foldersSentInRun_ == 0) {
            return;
        }
        // A folder sent whole is one of the entries the user dropped, never "1 file".
        const auto counted = [](size_t count, const char* what) {
            return std::to_string(count) + " " + what + (count == 1 ? "" : "s");
        };
        std::string what = lastSentName_;
        if (sentInRun_ + foldersSentInRun_ > 1) {
            what = foldersSentInRun_ == 0 ? counted(sentInRun_, "file")
                   : sentInRun_ == 0      ? counted(foldersSentInRun_, "folder")
                                          : counted(sentInRun_, "file") + " and " +
                                           counted(foldersSentInRun_, "folder");
        }
        text = "Sent " + what + " to " + lastSentAddress_;
        sentInRun_ = 0;
        foldersSentInRun_ = 0;
    }
    view_.Notify("Files sent", text);
}

bool MainDialog::CountFailure(const std::string& path, const std::string& address) {
    {
        std::lock_guard<std::mutex> guard(retryMutex_);
        if (path != failingPath_) {
            failingPath_ = path;
            failures_ = 0;
        }
        if (++failures_ < kTriesBeforeNotDelivered) {
            return false;
        }
        failingPath_.clear();
        failures_ = 0;
        // The buddy is there; only this file would not go.
        retrySchedule_.Reset();
    }
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        std::string front;
        if (!queue_.Front(front) || front != path) {
            return false;  // it left the queue some other way meanwhile
        }
        queue_.RemoveFront();
        notDelivered_.Add(path);
    }
    const std::string name = NameOf(path);
    WriteLog("Not delivered: " + name + " to " + address + " failed " +
             std::to_string(kTriesBeforeNotDelivered) + " times\n");
    // Most likely a name the buddy will not store: it took the connection, not the file.
    view_.Notify("Not delivered", name + ": " + address + " did not take it " +
                                      std::to_string(kTriesBeforeNotDelivered) +
                                      " times in a row; it is in Not delivered, the next files go");
    UpdateWaiting();
    NotifyRunEnded();
    // Not on this thread: it may now wait on a message box.
    retryTimer_->Arm(std::chrono::milliseconds(0));
    return true;
}

void MainDialog::RetryNotDelivered(const std::string& path) {
    if (!notDelivered_.Remove(path)) {
        return;
    }
    queue_.Add(path);
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        held_ = false;
    }
    UpdateWaiting();
    SendNext();
}

void MainDialog::ForgetNotDelivered(const std::string& path) {
    notDelivered_.Remove(path);
}

void MainDialog::UpdateWaiting() {
    const size_t count = queue_.Count();
    if (count == 0) {
        view_.ShowWaiting("Nothing to send");
        return;
    }
    bool held = false;
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        held = held_;
    }
    std::string whom = "a buddy";
    if (BuddyMode()) {
        std::string address, port;
        Target(address, port);
        if (UsableAddress(address)) {
            whom = address;
        }
    } else if (LiveSettings.useftp != 0) {
        whom = "the FTP server " + LiveSettings.Get(Text::ftpip);
    }
    view_.ShowWaiting(std::to_string(count) +
                      (count == 1 ? " file waits for " : " files wait for ") + whom +
                      (held ? " (sending cancelled: they go with your next drop)" : ""));
}

void MainDialog::RetireReceiver() {
    std::unique_ptr<ReceiveWorker> old = std::move(receiver_);
    receiver_ = workers_.MakeReceiver();
    receiver_->SetCallback(incomingEvents_.get());
    receiver_->SetNotes(this);
    receiver_->SetConsent(consent_.get());
    retiring_.emplace_back([old = std::move(old)]() mutable { old.reset(); });
}

void MainDialog::ApplySettings() {
    // The port and the receiver as a start with these settings would choose them.
    int32_t port = 6677;
    const std::string autoport =
        RegistryText(SettingKey("autoport"), "6677", true, RegRoot::CurrentUser).Get();
    if (!autoport.empty()) {
        port = PortSetting(autoport);
    }
    if (LiveSettings.useftp == 0 && LiveSettings.manual != 0) {
        port = PortSetting(LiveSettings.Get(Text::serverport));
    }
    const bool automatic = LiveSettings.auto_ != 0;
    const bool receive = (LiveSettings.useftp == 0 && LiveSettings.server != 0) || automatic;
    const bool portChanged = port != listenPort;
    listenPort = port;
    const int wanted = receive ? port : -1;
    if (wanted != receiverPort_) {
        if (receiverPort_ >= 0) {
            RetireReceiver();
            WriteLog("Stopped receiving on port " + std::to_string(receiverPort_) + "\n");
        }
        if (receive) {
            receiver_->Start(port);
        }
        receiverPort_ = wanted;
    }

    // The computer's name or the offer itself may have changed.
    const std::optional<Capability> offer = OwnCapability();
    const bool offerChanged = offer != offered_;
    if (offerChanged) {
        offered_ = offer;
        std::lock_guard<std::mutex> guard(discoveryMutex_);
        discovery_->SetCapability(offer);
    }
    if (automatic && !discoveryRunning_) {
        discovery_->StartReceiver();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        discovery_->SendBeacon(listenPort);
        view_.StartBeaconTimer();
        discoveryRunning_ = true;
    } else if (!automatic && discoveryRunning_) {
        view_.StopBeaconTimer();
        std::unique_ptr<DiscoveryWorker> old;
        {
            std::lock_guard<std::mutex> guard(discoveryMutex_);
            old = std::move(discovery_);
            discovery_ = NewDiscovery();
        }
        old->AnnounceShutdown();  // the buddy stops sending to us
        old.reset();              // joins its thread, outside the lock its events take
        {
            std::lock_guard<std::mutex> guard(buddyMutex_);
            buddyFound_ = false;
        }
        discoveryRunning_ = false;
    } else if (automatic && (portChanged || offerChanged)) {
        Announce();  // the buddy learns the new port or offer
    }

    UpdateWaiting();
    {
        std::lock_guard<std::mutex> guard(retryMutex_);
        retrySchedule_.Reset();
    }
    SendNext();
}

void MainDialog::SetPairAgain(std::function<void(const std::string& address)> hook) {
    std::lock_guard<std::mutex> guard(secureMutex_);
    pairAgain_ = std::move(hook);
}

void MainDialog::SecureSendEnded(SendNotes::Outcome outcome, const std::string& reason) {
    std::lock_guard<std::mutex> guard(secureMutex_);
    secureEnd_.emplace(outcome, reason);
}

void MainDialog::SecureSessionStarted(const std::string& peerKeyHash, const std::string& cipher) {
    WriteLog("Secure session with key " + DisplayName(peerKeyHash.substr(0, 16), 16) + " (" +
             DisplayName(cipher, 64) + ")\n");
}

MainDialog::Route MainDialog::ChooseRoute(const std::string& address) const {
    Route route;
    route.address = address;
    route.name = address;
    std::string keyId;
    bool offers = false;
    std::optional<PeerDirectory::Entry> heard;
    {
        std::lock_guard<std::mutex> guard(peersMutex_);
        offers = peers_.OffersTls(address, &keyId);
        heard = peers_.Find(address);
    }
    std::optional<PairedBuddy> paired;
    if (paired_ != nullptr) {
        paired = paired_->PairedAt(address);
        if (!paired && offers) {
            if (std::optional<PairedBuddy> buddy = paired_->Paired();
                buddy && !keyId.empty() && buddy->keyId == keyId) {
                paired = buddy;
            }
        }
    }
    if (paired) {
        if (!paired->name.empty()) {
            route.name = DisplayName(paired->name, 64);
        }
        route.keyHash = paired->keyHash;
        if (ownKeyId_.empty()) {
            route.problem = Problem::NoKeyHere;
        } else if (heard && !offers) {
            route.problem = Problem::NoLongerSecure;
        } else if (heard && keyId != paired->keyId) {
            route.problem = Problem::IdentityChanged;
        } else {
            route.secure = true;
            route.peer.keyHash = paired->keyHash;
        }
        return route;
    }
    if (offers && keyId.size() == 16 && !ownKeyId_.empty()) {
        route.secure = true;
        route.peer.keyId = keyId;
        if (heard && heard->capability && !heard->capability->name.empty()) {
            route.name = DisplayName(heard->capability->name, 64);
        }
    }
    return route;
}

std::string MainDialog::ProblemText(Problem problem, const std::string& name) {
    switch (problem) {
        case Problem::IdentityChanged:
            return name + "'s identity changed. Nothing was sent. Pair again or forget " + name +
                   " in Settings.";
        case Problem::NoLongerSecure:
            return name + " no longer offers secure transfers; your files wait for it.";
        case Problem::HandshakeFailed:
            return "The secure connection to " + name +
                   " failed. Nothing was sent; your files wait for it.";
        case Problem::NoKeyHere:
            break;
    }
    return "This computer's key could not be loaded, so nothing goes to " + name +
           ", with whom it is paired; your files wait.";
}

void MainDialog::BuddyProblem(Problem problem, const Route& route) {
    ShowIcon(resource::kIconRed);
    ClearBar();
    const std::string text = ProblemText(problem, route.name);
    WriteLog(text + " (" + route.address + ")\n");
    // An announce with what the pairing needs, the next drop or the pause brings a new try.
    ScheduleRetry();
    const std::string told = std::to_string(static_cast<int>(problem)) + ":" +
                             (route.keyHash.empty() ? route.address : route.keyHash);
    {
        std::lock_guard<std::mutex> guard(boxesMutex_);
        if (!toldProblems_.insert(told).second) {
            return;
        }
    }
    switch (view_.AskBuddyProblem(DisplayName(text, kLongestMessage),
                                  {"Retry", "Pair again", "Forget"})) {
        case 0:
            SendNext();
            break;
        case 1: {
            std::function<void(const std::string&)> hook;
            {
                std::lock_guard<std::mutex> guard(secureMutex_);
                hook = pairAgain_;
            }
            if (hook) {
                hook(route.address);
            } else {
                WriteLog("Pairing is not available in this copy\n");
            }
            break;
        }
        case 2:
            if (paired_ != nullptr && !route.keyHash.empty()) {
                WriteLog((paired_->Forget(route.keyHash) ? "Forgot " : "Could not forget ") +
                         route.name + " (" + route.address + ")\n");
            }
            break;
        default:
            break;
    }
}

void MainDialog::RefusedByBuddy(const std::string& path, const std::string& address,
                                const std::string& reason) {
    {
        std::lock_guard<std::mutex> guard(retryMutex_);
        failingPath_.clear();
        failures_ = 0;
        retrySchedule_.Reset();
    }
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        std::string front;
        if (!queue_.Front(front) || front != path) {
            return;  // it left the queue some other way meanwhile
        }
        queue_.RemoveFront();
        notDelivered_.Add(path);
    }
    TellRefused(path, address, reason);
    UpdateWaiting();
    NotifyRunEnded();
    retryTimer_->Arm(std::chrono::milliseconds(0));
}

void MainDialog::TellRefused(const std::string& path, const std::string& address,
                             const std::string& reason, bool notify) {
    const std::string name = NameOf(path);
    const std::string why =
        reason.empty() ? std::string("no reason given") : DisplayName(reason, 200);
    WriteLog("Not delivered: " + address + " refused " + name + ": " + why + "\n");
    if (notify) {
        view_.Notify("Not delivered", name + ": " + address + " refused it (" + why +
                                          "); it is in Not delivered, the next files go");
    }
}

bool MainDialog::FlattenFolders(std::string& path, const std::string& whom) {
    for (;;) {
        struct stat info {};
        if (stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
            return true;
        }
        std::string base = path;
        while (base.size() > 1 && base.back() == '/') {
            base.pop_back();
        }
        const FolderWalk::Listing listing = FolderWalk::Walk(base);
        std::vector<std::string> files;
        files.reserve(listing.files.size());
        for (const FolderWalk::File& file : listing.files) {
            files.push_back(base + file.path.substr(listing.root.size()));
        }
        queue_.ReplaceFront(files);
        const std::string name =
            DisplayName(listing.root.empty() ? base : listing.root, kShownName);
        if (!listing.ok) {
            WriteLog("Not sent: the folder " + name + " cannot be read\n");
            view_.Notify("Not sent", name + ": the folder cannot be read; it left the queue");
        } else {
            for (const FolderWalk::Skipped& skipped : listing.skipped) {
                WriteLog("Left out of " + name + ": " + DisplayName(skipped.path, kShownName) +
                         ": " + FolderWalk::Describe(skipped.why) + "\n");
            }
            WriteLog("The folder " + name + " goes to " + whom + " as " +
                     std::to_string(files.size()) + " files, without its folders\n");
            std::string body = name + ": its " + std::to_string(files.size()) + " files go to " +
                               whom +
                               " one by one, each under its own name; the folders are not "
                               "recreated there (it takes single files only)";
            if (!listing.skipped.empty()) {
                body += "; " + std::to_string(listing.skipped.size()) +
                        " left out (links, unreadable files), listed in the log";
            }
            view_.Notify("Folder sent as single files", body);
        }
        if (!queue_.Front(path)) {
            return false;
        }
    }
}

bool MainDialog::EndBatchEntry(const std::string& path, bool notDelivered) {
    std::lock_guard<std::mutex> guard(dispatchMutex_);
    std::string front;
    if (!queue_.Front(front) || front != path) {
        return false;  // it left the queue some other way meanwhile
    }
    queue_.RemoveFrontSoon();
    ++batchEnded_;
    if (notDelivered) {
        notDelivered_.Add(path);
    }
    return true;
}

bool MainDialog::BatchEntry(size_t index, std::string& path) {
    std::lock_guard<std::mutex> guard(dispatchMutex_);
    return !closing_ && index >= batchEnded_ && queue_.At(index - batchEnded_, path);
}

void MainDialog::BatchEntryStarted(size_t index) {
    std::lock_guard<std::mutex> guard(dispatchMutex_);
    std::string path;
    if (index >= batchEnded_ && queue_.At(index - batchEnded_, path)) {
        sendingPath_ = path;
    }
}

void MainDialog::BatchEntryEnded(size_t /*index*/, EntryEnd end, const std::string& detail) {
    std::string path, address;
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        path = sendingPath_;
        address = sendingAddress_;
    }
    const std::string name = NameOf(path);
    if (!EndBatchEntry(path, end == EntryEnd::Refused)) {
        return;
    }
    switch (end) {
        case EntryEnd::Delivered: {
            WriteLog("Sent " + name + " to " + address + "\n");
            {
                std::lock_guard<std::mutex> guard(boxesMutex_);
                toldProblems_.clear();
            }
            std::lock_guard<std::mutex> guard(retryMutex_);
            retrySchedule_.Reset();
            failingPath_.clear();
            failures_ = 0;
            struct stat info {};
            ++(stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? foldersSentInRun_
                                                                       : sentInRun_);
            lastSentName_ = name;
            lastSentAddress_ = address;
            break;
        }
        case EntryEnd::Refused: {
            {
                std::lock_guard<std::mutex> guard(retryMutex_);
                failingPath_.clear();
                failures_ = 0;
                retrySchedule_.Reset();
            }
            TellRefused(path, address, detail, false);
            std::lock_guard<std::mutex> guard(dispatchMutex_);
            refusedInBatch_.push_back({path, address, detail});
            break;
        }
        case EntryEnd::CannotOpen:
            if (detail == "folder") {
                // Never the box about a file locked by another application.
                WriteLog("Not sent: the folder " + name + " cannot be read\n");
                view_.Notify("Not sent", name + ": the folder cannot be read; it left the queue");
            } else {
                std::lock_guard<std::mutex> guard(dispatchMutex_);
                unopened_.push_back(path);
            }
            break;
    }
    if (end == EntryEnd::Delivered && !detail.empty()) {
        view_.Notify("Not all sent",
                     name + ": " + address + " did not take " + DisplayName(detail, 400));
    }
    UpdateWaiting();
    NotifyRunEnded();
}

void MainDialog::BatchSkipped(size_t /*index*/, const std::vector<std::string>& lines) {
    std::string path;
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        path = sendingPath_;
    }
    const std::string name = NameOf(path);
    std::string some;
    for (size_t i = 0; i < lines.size(); ++i) {
        WriteLog("Left out of " + name + ": " + DisplayName(lines[i], kShownName) + "\n");
        if (i < 3) {
            some += (some.empty() ? "" : "; ") + DisplayName(lines[i], kShownName);
        }
    }
    if (lines.size() > 3) {
        some += "; and " + std::to_string(lines.size() - 3) + " more, listed in the log";
    }
    view_.Notify("Not all of " + name + " goes",
                 std::to_string(lines.size()) + " left out, the rest goes: " + some);
}

void MainDialog::BatchProgressed(const Progress& progress) {
    std::string address;
    size_t behind = 0;
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        address = sendingAddress_;
        const size_t through =
            progress.entriesThrough > batchEnded_ ? progress.entriesThrough - batchEnded_ : 0;
        const size_t count = queue_.Count();
        behind = count > through ? count - through : 0;
    }
    std::chrono::milliseconds elapsed{0};
    {
        // A few redraws a second at most, and always the last file's.
        std::lock_guard<std::mutex> guard(progressMutex_);
        const auto now = std::chrono::steady_clock::now();
        if (progress.filesDone < progress.filesKnown &&
            now - batchShown_ < std::chrono::milliseconds(500)) {
            return;
        }
        batchShown_ = now;
        elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - batchStart_);
    }
    view_.ShowSending(SendingProgress::Text(progress, behind, elapsed, address));
    view_.ShowProgressBar(true);
    view_.SetProgressPosition(SendingProgress::Percent(progress));
}

void MainDialog::BatchOver(std::vector<std::string> unopened) {
    view_.ShowSending("");
    UpdateWaiting();  // the tooltip no longer says "Sending file ..."
    std::vector<std::array<std::string, 3>> refused;
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        refused.swap(refusedInBatch_);
        if (unopened.empty()) {
            unopened.swap(unopened_);
        }
    }
    if (!refused.empty()) {
        // One word for the lot: a declined drop of a thousand files is no thousand bubbles.
        const std::string& why = refused[0][2];
        const std::string reason =
            why.empty() ? std::string("no reason given") : DisplayName(why, 200);
        view_.Notify("Not delivered",
                     refused.size() == 1
                         ? NameOf(refused[0][0]) + ": " + refused[0][1] + " refused it (" + reason +
                               "); it is in Not delivered, the next files go"
                         : std::to_string(refused.size()) + " files: " + refused[0][1] +
                               " refused them (" + reason +
                               "); they are in Not delivered, the next files go");
    }
    if (unopened.empty()) {
        return;
    }
    ShowIcon(resource::kIconRed);
    // One box for the batch, as one file alone would have had.
    std::string text = "Failed to open " + unopened.front();
    if (unopened.size() > 1) {
        text += " and " + std::to_string(unopened.size() - 1) + " more files";
    }
    ShowMessageOnce(error_code::kCannotOpenToSend,
                    text + "; maybe it is locked by another application or doesn't exist?");
}

bool MainDialog::Sending() {
    std::lock_guard<std::mutex> guard(dispatchMutex_);
    return senderInFlight_;
}

void MainDialog::CancelSending() {
    std::string address;
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        if (!senderInFlight_) {
            return;
        }
        address = sendingAddress_;
        held_ = true;
    }
    sender_->Cancel();  // no event of that send comes after this
    SenderEnded();
    {
        std::lock_guard<std::mutex> guard(dispatchMutex_);
        unopened_.clear();
    }
    ClearBar();
    view_.ShowSending("");
    WriteLog("Sending cancelled\n");
    const size_t left = queue_.Count();
    if (left > 0) {
        const std::string files = left == 1 ? "1 file is" : std::to_string(left) + " files are";
        const int choice = view_.AskBuddyProblem(
            "Sending to " + address + " was cancelled. " + files +
                " still queued: keep them queued for your next drop, or remove them?",
            {"Keep queued", "Remove them"});
        if (choice == 1) {
            std::lock_guard<std::mutex> guard(dispatchMutex_);
            queue_.Clear();
            WriteLog("Removed " + std::to_string(left) + " files from the queue\n");
        }
    }
    UpdateWaiting();
}
