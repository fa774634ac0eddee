// A Zingwell copy without a window, in automatic mode, to watch two copies find each other:
// the drop window's own heart with the real workers, behind a view without a screen.
//
//   zw-discovery-peer [--port N] [--beacon-period-ms N] [--key-id KEYID]
//                     [--paired-buddy KEYID@ADDRESS] [--strangers ask|refuse|accept]
//       receives and announces on N (stored as the "autoport" setting; without it, the stored
//       one), announces at start and every period (default 10000 ms, the drop window's) while
//       no buddy is known, answers a known buddy at most once per period, and leaves on
//       SIGTERM/SIGINT. With --key-id its announces offer secure transfers under that key id;
//       with --paired-buddy it is paired with the copy of that key id, last heard at ADDRESS;
//       --strangers sets the policy on computers neither paired nor allowed (default: stored).
//       Its settings, log, queue and received files are its user's, as the program's: give it
//       a HOME of its own.
//   zw-discovery-peer --monitor
//       prints every discovery datagram heard (its own computer's included) until a signal.
//
// Each line is "<monotonic ms> <event> ...", flushed at once, so that a caller can time and
// count what happens: start, announced and left (each datagram heard, with its source and
// whether the heart takes it), FoundBuddy, LostBuddy, beacon (start, timer, answer while
// looking, heal when answering a known buddy, leave), message, notify, sending, end. Registry
// values come from ZINGWELL_SYSTEM_DIR as in the program.
#include <errno.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "core/BeaconNotes.h"
#include "core/Callback.h"
#include "heart/HeadlessView.h"
#include "heart/MainDialog.h"
#include "heart/RealWorkerFactory.h"
#include "net/GenSocket.h"
#include "net/GetMyIp.h"
#include "net/StartNetwork.h"
#include "platform/RegistryKey.h"
#include "settings/InitSettings.h"
#include "settings/LiveSettings.h"
#include "settings/RegistryNumber.h"
#include "settings/RegistryText.h"
#include "settings/SettingsKeys.h"

namespace {

std::mutex printMutex;

void Print(const std::string& line) {
    const double ms = std::chrono::duration<double, std::milli>(
                          std::chrono::steady_clock::now().time_since_epoch())
                          .count();
    std::lock_guard<std::mutex> guard(printMutex);
    printf("%.3f %s\n", ms, line.c_str());
    fflush(stdout);
}

// Why the heart sends a beacon, told by the thread it sends on: the main thread starts it up,
// the discovery's thread answers what it heard, and the view's timer thread marks nothing.
constexpr const char* kAnswering = "answering";
thread_local const char* beaconCause = "timer";
// What the heart's last stop of the beacon timer on this thread found: a running timer means
// the copy was still looking for a buddy.
thread_local bool timerWasRunning = false;

class StandInView : public HeadlessView {
public:
    using HeadlessView::HeadlessView;
    bool StopBeaconTimer() override {
        timerWasRunning = HeadlessView::StopBeaconTimer();
        return timerWasRunning;
    }
};

// The discovery's events, printed on their way to the heart.
class PrintedEvents : public Callback {
public:
    explicit PrintedEvents(Callback* heart) : heart_(heart) {}
    void FoundBuddy(const char* address, const char* port) override {
        Print(std::string("FoundBuddy ") + (address ? address : "(null)") + " " +
              (port ? port : "(null)"));
        const char* before = beaconCause;
        beaconCause = kAnswering;
        heart_->FoundBuddy(address, port);
        beaconCause = before;
    }
    void LostBuddy(bool error) override {
        Print(std::string("LostBuddy ") + (error ? "1" : "0"));
        heart_->LostBuddy(error);
    }
    void ShowProgress(int64_t done, int64_t total) override { heart_->ShowProgress(done, total); }
    void IncomingFile() override { heart_->IncomingFile(); }
    void FinishedSending() override { heart_->FinishedSending(); }
    void ReportError(int32_t code) override { heart_->ReportError(code); }

private:
    Callback* heart_;
};

// What the discovery tells the heart of each datagram, and the heart's verdict.
class PrintedNotes : public BeaconNotes {
public:
    void SetHeart(BeaconNotes* heart) { heart_ = heart; }
    bool Announced(const std::string& source, const std::string& address, const std::string& port,
                   const std::optional<Capability>& capability) override {
        const bool taken = heart_->Announced(source, address, port, capability);
        Print("announced " + source + " " + address + " " + port + " " +
              (capability ? capability->keyId : "-") + (taken ? " taken" : " refused"));
        return taken;
    }
    bool Left(const std::string& source, const std::string& address) override {
        const bool taken = heart_->Left(source, address);
        Print("left " + source + " " + address + (taken ? " taken" : " refused"));
        return taken;
    }

private:
    BeaconNotes* heart_ = nullptr;
};

// The paired buddy given on the command line.
class FixedPairing : public PairedBuddySource {
public:
    explicit FixedPairing(std::optional<PairedBuddy> buddy) : buddy_(std::move(buddy)) {}
    std::optional<PairedBuddy> Paired() const override { return buddy_; }

private:
    std::optional<PairedBuddy> buddy_;
};

// The real discovery, with a line for every beacon the heart sends.
class PrintedDiscovery : public DiscoveryWorker {
public:
    PrintedDiscovery(WorkerFactory& real, Callback* heart)
        : events_(heart), discovery_(real.MakeDiscovery(&events_)) {}
    void StartReceiver() override { discovery_->StartReceiver(); }
    void SetNotes(BeaconNotes* notes) override {
        notes_.SetHeart(notes);
        discovery_->SetNotes(&notes_);
    }
    void SetCapability(std::optional<Capability> capability) override {
        discovery_->SetCapability(std::move(capability));
    }
    void SendBeacon(int port) override {
        const char* cause = beaconCause != kAnswering ? beaconCause
                            : timerWasRunning         ? "answer"
                                                      : "heal";
        Print(std::string("beacon ") + cause + " " + std::to_string(port));
        discovery_->SendBeacon(port);
    }
    void AnnounceShutdown() override {
        Print("beacon leave");
        discovery_->AnnounceShutdown();
    }
    bool buddyKnown() const override { return discovery_->buddyKnown(); }

private:
    PrintedEvents events_;  // these two outlive the discovery's thread, which calls them
    PrintedNotes notes_;
    std::unique_ptr<DiscoveryWorker> discovery_;
};

// The desktop program's workers, the discovery printed.
class StandInWorkers : public WorkerFactory {
public:
    std::unique_ptr<UploadWorker> MakeUploader() override { return real_.MakeUploader(); }
    std::unique_ptr<SendWorker> MakeSender() override { return real_.MakeSender(); }
    std::unique_ptr<ReceiveWorker> MakeReceiver() override { return real_.MakeReceiver(); }
    std::unique_ptr<DiscoveryWorker> MakeDiscovery(Callback* callback) override {
        return std::make_unique<PrintedDiscovery>(real_, callback);
    }

private:
    RealWorkerFactory real_;
};

int WaitForSignal() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    int got = 0;
    sigwait(&set, &got);
    return got;
}

// Prints every datagram to the discovery group and port.
int Monitor() {
    RegistryText group(SettingKey("MulticastIP"), "225.6.7.8", true, RegRoot::LocalMachine);
    RegistryNumber port(SettingKey("MulticastListenPort"), 1024, true, RegRoot::LocalMachine);
    GenSocket socket;
    if (!socket.OpenMulticastReceiver(static_cast<int>(port.Get()), group.Get().c_str())) {
        fprintf(stderr, "cannot listen to %s:%u: %s\n", group.Get().c_str(), port.Get(),
                strerror(errno));
        return 1;
    }
    Print("monitor " + group.Get() + " " + std::to_string(port.Get()));
    std::thread receiver([&socket] {
        char buffer[2048];
        char source[28];
        for (;;) {
            int sourcePort = 0;
            const int n =
                socket.ReceiveFrom(buffer, sizeof buffer, source, sizeof source, &sourcePort, 0);
            if (n <= 0) {
                if (n < 0 && errno == EINTR)
                    continue;
                return;  // shut down
            }
            std::string text;
            for (int i = 0; i < n; ++i) {
                const unsigned char c = static_cast<unsigned char>(buffer[i]);
                if (c >= 0x20 && c < 0x7f) {
                    text += static_cast<char>(c);
                } else {
                    char escaped[8];
                    snprintf(escaped, sizeof escaped, "\\x%02x", c);
                    text += escaped;
                }
            }
            Print(std::string("datagram ") + source + " " + text);
        }
    });
    WaitForSignal();
    socket.Shutdown(SHUT_RDWR);
    receiver.join();
    Print("end");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    std::string port;
    long periodMs = MainDialog::kBeaconPeriod.count();
    bool monitor = false;
    std::string keyId;
    std::optional<PairedBuddy> paired;
    std::string strangers;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--monitor") {
            monitor = true;
        } else if (arg == "--key-id" && i + 1 < argc) {
            keyId = argv[++i];
        } else if (arg == "--paired-buddy" && next.find('@') != std::string::npos) {
            paired =
                PairedBuddy{"", next.substr(0, next.find('@')), next.substr(next.find('@') + 1)};
            ++i;
        } else if (arg == "--strangers" && i + 1 < argc) {
            strangers = argv[++i];
        } else if (arg == "--port" && i + 1 < argc) {
            port = std::to_string(atoi(argv[++i]));
        } else if (arg == "--beacon-period-ms" && i + 1 < argc && atol(argv[i + 1]) > 0) {
            periodMs = atol(argv[++i]);
        } else {
            fprintf(stderr,
                    "usage: %s [--port N] [--beacon-period-ms N] [--key-id KEYID] "
                    "[--paired-buddy KEYID@ADDRESS] [--strangers POLICY] | --monitor\n",
                    argv[0]);
            return 2;
        }
    }
    if (!StartNetwork()) {
        return 1;
    }
    // Signals are taken by sigwait in the main thread; every other thread keeps them blocked.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);

    if (monitor) {
        return Monitor();
    }
    // The program's settings, in automatic mode whatever is stored; the heart reads its port
    // from the store, as the settings dialog leaves it there.
    InitSettings();
    RegistryText autoport(SettingKey("autoport"), "6677", true, RegRoot::CurrentUser);
    if (!port.empty()) {
        autoport.Set(port);
        LiveSettings.Set(LiveSettingsStore::Text::autoport, port);
    }
    LiveSettings.useftp = 0;
    LiveSettings.server = 0;
    LiveSettings.manual = 0;
    LiveSettings.auto_ = 1;
    if (!strangers.empty()) {
        LiveSettings.Set(LiveSettingsStore::Text::strangers, strangers);
    }

    char own[28] = "";
    GetMyIp(own, sizeof own);
    Print(std::string("start ") + (own[0] ? own : "(none)") + " " + autoport.Get());
    StandInWorkers workers;
    StandInView view([](const std::string& line) { Print(line); });
    FixedPairing pairing(paired);
    {
        MainDialog heart(view, workers, std::chrono::milliseconds(periodMs));
        heart.SetPairedBuddySource(&pairing);
        heart.SetOwnKeyId(keyId);
        view.Attach(heart);
        beaconCause = "start";
        heart.Initialize();
        WaitForSignal();
        heart.PrepareShutdown();
        // No tick may reach a heart that is going.
        view.Detach();
    }
    Print("end");
    return 0;
}
