#include "ftp/CancelSwitch.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

CancelSwitch::CancelSwitch() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

CancelSwitch::~CancelSwitch() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void CancelSwitch::Trip() {
    tripped_.store(true);
    if (fd_ >= 0) {
        const uint64_t one = 1;
        // The counter is never read, so the descriptor stays readable from now on.
        [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
    }
}
