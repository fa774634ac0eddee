#pragma once

#include <atomic>

// Lets another thread end a wait at once: every wait that is given the waker also watches
// fd(), an event descriptor that becomes readable when Wake() is called, and stays so until
// Drain().
class Waker {
public:
    Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    ~Waker();

    // Safe from any thread; waits that are running end at once, later ones fail at once.
    void Wake();
    // Makes later waits block again, for a waker that tells of events rather than of an end.
    void Drain();
    bool woken() const { return woken_.load(); }
    // -1 when no event descriptor could be made; waits then look at woken() between slices.
    int fd() const { return fd_; }

private:
    int fd_;
    std::atomic<bool> woken_{false};
};
