#pragma once

#include "core/CritSec.h"

// Scoped guard on the process-wide lock: made as a local, held for its lifetime.
class Lock {
public:
    Lock() : section_(&ProcessLock()) { section_->Enter(); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    virtual ~Lock() { section_->Leave(); }

private:
    CritSec* section_;
};
