#pragma once

#include <mutex>

// The one process-wide recursive lock. Only Lock takes and releases it.
class CritSec {
public:
    CritSec() = default;
    CritSec(const CritSec&) = delete;
    CritSec& operator=(const CritSec&) = delete;
    virtual ~CritSec() = default;

    void Enter() { mutex_.lock(); }
    void Leave() { mutex_.unlock(); }

private:
    std::recursive_mutex mutex_;
};

// The process-wide instance, taken by the log, the send queue and the FTP job.
CritSec& ProcessLock();
