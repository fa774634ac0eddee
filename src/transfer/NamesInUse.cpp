#include "transfer/NamesInUse.h"

bool NamesInUse::Claim(const std::string& name) {
    std::unique_lock<std::mutex> guard(mutex_);
    released_.wait(guard, [&] { return stopped_ || names_.count(name) == 0; });
    if (stopped_) {
        return false;
    }
    names_.insert(name);
    return true;
}

void NamesInUse::Release(const std::string& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    names_.erase(name);
    released_.notify_all();
}

void NamesInUse::Stop() {
    std::lock_guard<std::mutex> guard(mutex_);
    stopped_ = true;
    released_.notify_all();
}
