#include "heart/RetryTimer.h"

RetryTimer::RetryTimer(std::function<void()> task)
    : task_(std::move(task)), thread_([this] { Run(); }) {}

RetryTimer::~RetryTimer() {
    Stop();
}

void RetryTimer::Arm(std::chrono::milliseconds pause) {
    std::lock_guard<std::mutex> guard(mutex_);
    armed_ = true;
    due_ = std::chrono::steady_clock::now() + pause;
    changed_.notify_all();
}

void RetryTimer::Disarm() {
    std::lock_guard<std::mutex> guard(mutex_);
    armed_ = false;
    changed_.notify_all();
}

bool RetryTimer::armed() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return armed_;
}

void RetryTimer::Stop() {
    {
        std::lock_guard<std::mutex> guard(mutex_);
        stopping_ = true;
        changed_.notify_all();
    }
    if (thread_.joinable() && thread_.get_id() != std::this_thread::get_id()) {
        thread_.join();
    }
}

void RetryTimer::Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stopping_) {
        if (!armed_) {
            changed_.wait(lock);
            continue;
        }
        if (changed_.wait_until(lock, due_) != std::cv_status::timeout) {
            continue;  // re-armed, disarmed or stopping: look again
        }
        if (!armed_ || stopping_ || std::chrono::steady_clock::now() < due_) {
            continue;
        }
        armed_ = false;
        lock.unlock();
        task_();  // it may arm the timer again
        lock.lock();
    }
}
