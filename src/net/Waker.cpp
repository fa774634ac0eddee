#include "net/Waker.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

Waker::Waker() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Waker::~Waker() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

void Waker::Wake() {
    woken_.store(true);
    if (fd_ >= 0) {
        const uint64_t one = 1;
        [[maybe_unused]] ssize_t written = write(fd_, &one, sizeof one);
    }
}

void Waker::Drain() {
    woken_.store(false);
    if (fd_ >= 0) {
        uint64_t count = 0;
        [[maybe_unused]] ssize_t read_ = read(fd_, &count, sizeof count);
    }
}
