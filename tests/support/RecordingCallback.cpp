#include "support/RecordingCallback.h"

std::string RecordingCallback::Event::Describe() const {
    if (name == "FoundBuddy")
        return name + " " + address + " " + port;
    if (name == "LostBuddy" || name == "ReportError")
        return name + " " + std::to_string(a);
    if (name == "ShowProgress")
        return name + " " + std::to_string(a) + " " + std::to_string(b);
    return name;
}

void RecordingCallback::Record(Event event) {
    if (onEvent) {
        onEvent(event);
    }
    std::lock_guard<std::mutex> guard(mutex_);
    events_.push_back(std::move(event));
    changed_.notify_all();
}

void RecordingCallback::FoundBuddy(const char* address, const char* port) {
    Record({"FoundBuddy", address ? address : "(null)", port ? port : "(null)", 0, 0});
}
void RecordingCallback::LostBuddy(bool error) {
    Record({"LostBuddy", "", "", error ? 1 : 0, 0});
}
void RecordingCallback::ShowProgress(int64_t done, int64_t total) {
    Record({"ShowProgress", "", "", done, total});
}
void RecordingCallback::IncomingFile() {
    Record({"IncomingFile", "", "", 0, 0});
}
void RecordingCallback::FinishedSending() {
    Record({"FinishedSending", "", "", 0, 0});
}
void RecordingCallback::ReportError(int32_t code) {
    Record({"ReportError", "", "", code, 0});
}

std::vector<RecordingCallback::Event> RecordingCallback::Events() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return events_;
}

std::vector<std::string> RecordingCallback::Described() const {
    std::vector<std::string> names;
    for (const Event& event : Events()) {
        names.push_back(event.Describe());
    }
    return names;
}

size_t RecordingCallback::Count(const std::string& name) const {
    std::lock_guard<std::mutex> guard(mutex_);
    size_t n = 0;
    for (const Event& event : events_) {
        n += event.name == name ? 1 : 0;
    }
    return n;
}

bool RecordingCallback::WaitFor(const std::string& name, size_t count,
                                std::chrono::milliseconds limit) const {
    std::unique_lock<std::mutex> guard(mutex_);
    return changed_.wait_for(guard, limit, [&] {
        size_t n = 0;
        for (const Event& event : events_) {
            n += event.name == name ? 1 : 0;
        }
        return n >= count;
    });
}

void RecordingCallback::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    events_.clear();
}
