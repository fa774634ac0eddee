#pragma once

#include <atomic>

// Lets another thread cut short every wait of a link at once: each wait also watches fd(),
// which becomes readable when the switch is tripped, and stays so.
class CancelSwitch {
public:
    CancelSwitch();
    CancelSwitch(const CancelSwitch&) = delete;
    CancelSwitch& operator=(const CancelSwitch&) = delete;
    virtual ~CancelSwitch();

    // Safe from any thread; waits that are running end at once, later ones fail at once.
    void Trip();
    bool tripped() const { return tripped_.load(); }
    // -1 when no event descriptor could be made; waits then notice the switch only
    // between their slices.
    int fd() const { return fd_; }

private:
    int fd_;
    std::atomic<bool> tripped_{false};
};
