#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "heart/DropView.h"

class MainDialog;

// The drop window without a screen, for a heart that runs headless (the discovery stand-in,
// tests): message boxes and notifications become log lines and are closed at once, the rest
// of the screen is ignored, and the beacon timer ticks on a thread of its own, as the
// desktop's precise timer does: never early, a whole period after each (re)start.
class HeadlessView : public DropView {
public:
    using Log = std::function<void(const std::string& line)>;

    // `log` gets "message <text>" and "notify <summary>: <body>", on the caller's thread.
    explicit HeadlessView(Log log = {});
    // Ends the timer's thread, as Detach does.
    ~HeadlessView() override;
    HeadlessView(const HeadlessView&) = delete;
    HeadlessView& operator=(const HeadlessView&) = delete;

    // The heart whose OnTimer the timer calls, every heart's beacon period while it runs.
    // Before the heart's Initialize, which starts the timer.
    void Attach(MainDialog& heart);
    // Ends the ticks: none runs once this returns, so the heart may go (its workers may still
    // start and stop the timer meanwhile). For good.
    void Detach();

    void ShowProgressBar(bool) override {}
    void SetProgressPosition(int) override {}
    void PlayBark() override {}
    void Activate() override {}
    void ShowMessage(const std::string& text) override;
    // Logged as a message; the first action is taken.
    int AskBuddyProblem(const std::string& text, const std::vector<std::string>& actions) override;
    // Nobody to ask: logged, and declined.
    ConsentQuestion::Choice AskConsent(const ConsentQuestion& question) override;
    // Nobody to ask: logged, and nothing goes.
    int AskSendTo(const std::string& text) override;
    void StartBeaconTimer() override;
    bool StopBeaconTimer() override;
    void Notify(const std::string& summary, const std::string& body) override;
    void OpenSettings() override {}
    void ShowWaiting(const std::string&) override {}
    // Logged as "sending <text>"; the batch's end (empty) is not.
    void ShowSending(const std::string& text) override;

private:
    void Run();

    const Log log_;
    std::mutex mutex_;
    std::condition_variable changed_;
    MainDialog* heart_ = nullptr;  // guarded by mutex_, as the fields below
    std::chrono::milliseconds period_{0};
    bool running_ = false;
    bool ending_ = false;
    std::chrono::steady_clock::time_point next_;
    std::thread thread_;
};
