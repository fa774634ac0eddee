#include "heart/HeadlessView.h"

#include "heart/MainDialog.h"

HeadlessView::HeadlessView(Log log) : log_(std::move(log)) {}

HeadlessView::~HeadlessView() {
    Detach();
}

void HeadlessView::Attach(MainDialog& heart) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (heart_ != nullptr || ending_) {
        return;
    }
    heart_ = &heart;
    period_ = heart.beaconPeriod();
    next_ = std::chrono::steady_clock::now() + period_;
    thread_ = std::thread([this] { Run(); });
}

void HeadlessView::Detach() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        ending_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) {
        thread_.join();
    }
}

void HeadlessView::ShowMessage(const std::string& text) {
    if (log_) {
        log_("message " + text);
    }
}

int HeadlessView::AskBuddyProblem(const std::string& text,
                                  const std::vector<std::string>& actions) {
    ShowMessage(text);
    return actions.empty() ? -1 : 0;
}

void HeadlessView::ShowSending(const std::string& text) {
    if (log_ && !text.empty()) {
        log_("sending " + text);
    }
}

ConsentQuestion::Choice HeadlessView::AskConsent(const ConsentQuestion& question) {
    ShowMessage("declined " + question.file + " from " + question.computer +
                ": nobody here to ask");
    return ConsentQuestion::Choice::Decline;
}

int HeadlessView::AskSendTo(const std::string& text) {
    ShowMessage(text + " Nobody here to answer; the files wait");
    return -1;
}

void HeadlessView::Notify(const std::string& summary, const std::string& body) {
    if (log_) {
        log_("notify " + summary + ": " + body);
    }
}

void HeadlessView::StartBeaconTimer() {
    std::lock_guard<std::mutex> guard(mutex_);
    running_ = true;
    next_ = std::chrono::steady_clock::now() + period_;
    changed_.notify_all();
}

bool HeadlessView::StopBeaconTimer() {
    std::lock_guard<std::mutex> guard(mutex_);
    const bool wasRunning = running_;
    running_ = false;
    changed_.notify_all();
    return wasRunning;
}

void HeadlessView::Run() {
    std::unique_lock<std::mutex> guard(mutex_);
    while (!ending_) {
        if (!running_) {
            changed_.wait(guard);
            continue;
        }
        // A restart or a stop while waiting moves or clears the tick that was due.
        const auto due = next_;
        if (changed_.wait_until(guard, due) == std::cv_status::timeout && running_ &&
            next_ == due && !ending_) {
            next_ = due + period_;
            MainDialog* heart = heart_;
            // Unlocked: the heart's workers may start and stop the timer meanwhile.
            guard.unlock();
            heart->OnTimer();
            guard.lock();
        }
    }
}
