// Stands in for the drop window in automatic mode, to watch two copies find each other:
//
//   zw-discovery-peer [--port N] [--period-ms N]
//       announces N (default 6677) at start and every period (default 10000 ms) while no
//       buddy is known, reacts to buddies as the drop window does (answering an announce while
//       looking for a buddy, and a known buddy's at most once per 10 s), leaves on
//       SIGTERM/SIGINT.
//   zw-discovery-peer --monitor
//       prints every discovery datagram heard (its own computer's included) until a signal.
//
// Each line is "<monotonic ms> <event> ...", flushed at once, so that a caller can time and
// count what happens. Registry values come from ZINGWELL_SYSTEM_DIR as in the program.
#include <errno.h>
#include <signal.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "core/Callback.h"
#include "discovery/AnnounceAnswerRule.h"
#include "discovery/MulticastListener.h"
#include "net/GenSocket.h"
#include "net/GetMyIp.h"
#include "net/StartNetwork.h"
#include "platform/RegistryKey.h"
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

// The drop window's beacon timer: ticks every period until stopped.
class BeaconTimer {
public:
    explicit BeaconTimer(std::function<void()> tick) : tick_(std::move(tick)) {
        thread_ = std::thread([this] { Run(); });
    }
    ~BeaconTimer() { End(); }
    // No tick runs after this returns; Start and Stop may still be called.
    void End() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            ending_ = true;
        }
        changed_.notify_all();
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // Starts, or restarts, the period.
    void Start(std::chrono::milliseconds period) {
        std::lock_guard<std::mutex> guard(mutex_);
        running_ = true;
        period_ = period;
        next_ = std::chrono::steady_clock::now() + period;
        changed_.notify_all();
    }
    // Whether it was running, as stopping a window timer tells.
    bool Stop() {
        std::lock_guard<std::mutex> guard(mutex_);
        const bool was = running_;
        running_ = false;
        changed_.notify_all();
        return was;
    }

private:
    void Run() {
        std::unique_lock<std::mutex> guard(mutex_);
        while (!ending_) {
            if (!running_) {
                changed_.wait(guard);
                continue;
            }
            const auto due = next_;
            if (changed_.wait_until(guard, due) == std::cv_status::timeout && running_ &&
                next_ == due && !ending_) {
                next_ = due + period_;
                guard.unlock();
                tick_();
                guard.lock();
            }
        }
    }

    std::function<void()> tick_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool running_ = false;
    bool ending_ = false;
    std::chrono::milliseconds period_{0};
    std::chrono::steady_clock::time_point next_;
    std::thread thread_;
};

// The drop window's reactions to discovery, with a print for each.
class PeerWindow : public Callback {
public:
    PeerWindow(int port, std::chrono::milliseconds period)
        : port_(port), period_(period), timer_([this] { Tick(); }) {}
    // The timer's ticks use the listener, and the listener's thread uses the timer: end the
    // ticks first, then the listener goes (joining its thread), then the timer.
    ~PeerWindow() { timer_.End(); }

    // Initialisation in automatic mode. The real window runs it on the UI thread, so an event
    // that needs the timer waits until it is done; uiMutex_ plays that part.
    void Start() {
        std::lock_guard<std::mutex> ui(uiMutex_);
        listener_.StartReceiver();
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        Send("start");
        timer_.Start(period_);
    }

    void Leave() {
        Print("beacon leave");
        listener_.AnnounceShutdown();
    }

    void FoundBuddy(const char* address, const char* port) override {
        Print(std::string("FoundBuddy ") + (address ? address : "(null)") + " " +
              (port ? port : "(null)"));
        bool wasRunning;
        {
            std::lock_guard<std::mutex> ui(uiMutex_);
            wasRunning = timer_.Stop();
        }
        bool answer = wasRunning;
        if (address != nullptr) {
            std::lock_guard<std::mutex> ui(uiMutex_);
            answer = answers_.ShouldAnswer(address, wasRunning, AnnounceAnswerRule::Clock::now());
        }
        if (answer) {
            Send(wasRunning ? "answer" : "heal");
        }
    }
    void LostBuddy(bool error) override {
        Print(std::string("LostBuddy ") + (error ? "1" : "0"));
        std::lock_guard<std::mutex> ui(uiMutex_);
        timer_.Start(period_);
    }
    void ShowProgress(int64_t, int64_t) override {}
    void IncomingFile() override {}
    void FinishedSending() override {}
    void ReportError(int32_t) override {}

private:
    void Tick() {
        if (!listener_.buddyKnown()) {
            Send("timer");
        }
    }
    void Send(const char* why) {
        Print(std::string("beacon ") + why + " " + std::to_string(port_));
        listener_.SendBeacon(port_);
    }

    const int port_;
    const std::chrono::milliseconds period_;
    std::mutex uiMutex_;
    AnnounceAnswerRule answers_;  // guarded by uiMutex_
    BeaconTimer timer_;
    MulticastListener listener_{this};
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
    int port = 6677;
    long periodMs = 10000;
    bool monitor = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--monitor") {
            monitor = true;
        } else if (arg == "--port" && i + 1 < argc) {
            port = atoi(argv[++i]);
        } else if (arg == "--period-ms" && i + 1 < argc) {
            periodMs = atol(argv[++i]);
        } else {
            fprintf(stderr, "usage: %s [--port N] [--period-ms N] | --monitor\n", argv[0]);
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
    char own[28] = "";
    GetMyIp(own, sizeof own);
    Print(std::string("start ") + (own[0] ? own : "(none)") + " " + std::to_string(port));
    {
        PeerWindow window(port, std::chrono::milliseconds(periodMs));
        window.Start();
        WaitForSignal();
        window.Leave();
    }
    Print("end");
    return 0;
}
