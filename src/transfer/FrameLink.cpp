#include "transfer/FrameLink.h"

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
    long n = 0;
    if (!pending_.empty()) {
        n = static_cast<long>(std::min(capacity, pending_.size()));
        std::copy_n(pending_.data(), n, buffer);
        pending_.erase(0, static_cast<size_t>(n));
    } else {
        n = stream_.Read(buffer, capacity);
    }
    if (n > 0) {
        limit_ -= static_cast<uint64_t>(n);
    }
    return n;
}

net::Wait FrameLink::WaitFor(Direction direction, net::Clock::time_point deadline) {
    if (direction == Direction::Readable && !pending_.empty()) {
        return net::Wait::Ready;
    }
    return stream_.WaitFor(direction, deadline);
}
