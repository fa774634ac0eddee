#pragma once

#include <sys/types.h>

// What a running process holds, as /proc tells it: for tests that a burst of work leaves
// nothing behind.
struct ProcessStatus {
    int threads = 0;
    long residentKb = 0;

    // Zeros once the process has gone.
    static ProcessStatus Of(pid_t pid);
};
