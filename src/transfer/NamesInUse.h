#pragma once

#include <condition_variable>
#include <mutex>
#include <set>
#include <string>

// The names that incoming connections are writing right now. A second connection that
// brings a name already being written waits for the first to finish, so two streams never
// interleave in one file; the later one then replaces it, as any later file does.
class NamesInUse {
public:
    // Waits until no one writes `name`, then takes it. False once Stop was called.
    bool Claim(const std::string& name);
    void Release(const std::string& name);
    // Wakes every waiter; Claim fails from now on.
    void Stop();

private:
    std::mutex mutex_;
    std::condition_variable released_;
    std::set<std::string> names_;
    bool stopped_ = false;
};
