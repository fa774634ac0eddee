#include "transfer/FrameLink.h"

#include <errno.h>

#include <algorithm>

namespace {

// Small: frames are short, and a read never takes much of a body that follows one.
constexpr size_t kChunk = 16384;

}  // namespace

FrameLink::Got FrameLink::ReadFrame(FrameReader& reader) {
    for (;;) {
        if (!pending_.empty()) {
            const size_t used = reader.Feed(pending_.data(), pending_.size());
            pending_.erase(0, used);
            if (reader.state() == FrameReader::State::Done) {
                return Got::Frame;
            }
            if (reader.state() == FrameReader::State::Failed) {
                return Got::Refused;
            }
        }
        char buffer[kChunk];
        const long n = stream_.Read(buffer, sizeof buffer);
        if (n < 0) {
            return Got::Failed;
        }
        if (n == 0) {
            const bool atStart = reader.AtStart();
            reader.End();
            return atStart ? Got::Closed : Got::Refused;
        }
        pending_.assign(buffer, static_cast<size_t>(n));
    }
}

bool FrameLink::Send(const std::string& bytes) {
    return stream_.Write(bytes.data(), bytes.size()) == static_cast<long>(bytes.size());
}

long FrameLink::Read(char* buffer, size_t capacity) {
    capacity = static_cast<size_t>(std::min<uint64_t>(capacity, limit_));
    if (capacity == 0) {
        return 0;
    }
    if (!pending_.empty()) {
        const size_t n = std::min(capacity, pending_.size());
        std::copy_n(pending_.data(), n, buffer);
        pending_.erase(0, n);
        limit_ -= n;
        return static_cast<long>(n);
    }
    if (ended_ || failure_ != 0) {
        errno = failure_;
        return ended_ ? 0 : -1;
    }
    // A TLS read gives one record: what else has come already goes in the same read, so
    // that the file is written in pieces of the buffer's size, not the record's.
    size_t filled = 0;
    while (filled < capacity) {
        if (filled > 0 && stream_.WaitFor(Direction::Readable, net::Clock::time_point::min()) !=
                              net::Wait::Ready) {
            break;
        }
        const long n = stream_.Read(buffer + filled, capacity - filled);
        if (n <= 0) {
            if (filled == 0) {
                return n;
            }
            ended_ = n == 0;
            failure_ = n < 0 ? errno : 0;
            break;
        }
        filled += static_cast<size_t>(n);
    }
    limit_ -= filled;
    return static_cast<long>(filled);
}

net::Wait FrameLink::WaitFor(Direction direction, net::Clock::time_point deadline) {
    if (direction == Direction::Readable && !pending_.empty()) {
        return net::Wait::Ready;
    }
    return stream_.WaitFor(direction, deadline);
}
