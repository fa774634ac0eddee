#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "core/Callback.h"

// A Callback that writes down every event, in order, from any thread.
class RecordingCallback : public Callback {
public:
    struct Event {
        std::string name;     // "FoundBuddy", "LostBuddy", "ShowProgress", ...
        std::string address;  // FoundBuddy; "(null)" for a null text
        std::string port;     // FoundBuddy; "(null)" for a null text
        int64_t a = 0;        // LostBuddy's flag, ShowProgress's done, ReportError's code
        int64_t b = 0;        // ShowProgress's total
        std::string Describe() const;
    };

    void FoundBuddy(const char* address, const char* port) override;
    void LostBuddy(bool error) override;
    void ShowProgress(int64_t done, int64_t total) override;
    void IncomingFile() override;
    void FinishedSending() override;
    void ReportError(int32_t code) override;

    std::vector<Event> Events() const;
    // Every event described on one line each, e.g. "ShowProgress 102400 204800".
    std::vector<std::string> Described() const;
    size_t Count(const std::string& name) const;
    // Waits until an event of that name has arrived `count` times.
    bool WaitFor(const std::string& name, size_t count = 1,
                 std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    void Clear();

    // Runs inside the event, on the reporting thread, before it is recorded.
    std::function<void(const Event&)> onEvent;

private:
    void Record(Event event);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
};
