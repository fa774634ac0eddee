#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// One thread that runs a task when a set time has come: armed again, it forgets the earlier
// time. The task runs on that thread, never while the timer's own lock is held. Joined by
// Stop or the destructor.
class RetryTimer {
public:
    explicit RetryTimer(std::function<void()> task);
    ~RetryTimer();
    RetryTimer(const RetryTimer&) = delete;
    RetryTimer& operator=(const RetryTimer&) = delete;

    // Runs the task once, after `pause` (at once for zero).
    void Arm(std::chrono::milliseconds pause);
    void Disarm();
    bool armed() const;
    // Ends the thread, waiting for a running task; nothing runs afterwards.
    void Stop();

private:
    void Run();

    std::function<void()> task_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    bool armed_ = false;  // guarded by mutex_, as the two below
    bool stopping_ = false;
    std::chrono::steady_clock::time_point due_;
    std::thread thread_;
};
