#include "transfer/HeaderReader.h"

#include <algorithm>
#include <cstring>

size_t HeaderReader::Feed(const char* data, size_t length) {
    size_t used = 0;
    if (state_ != State::NeedMore) {
        return 0;
    }
    if (!haveName_) {
        const void* found = length > 0 ? memchr(data, wire::kSeparator, length) : nullptr;
        const size_t nameBytes =
            found != nullptr ? static_cast<size_t>(static_cast<const char*>(found) - data) : length;
        // The separator must come within the first `limit_` bytes of the stream.
        if (name_.size() + nameBytes >= limit_) {
            state_ = State::Failed;
            return 0;
        }
        name_.append(data, nameBytes);
        if (found == nullptr) {
            return length;
        }
        haveName_ = true;
        used = nameBytes + 1;
    }
    const size_t take = std::min(wire::kSizeBytes - sizeBytes_.size(), length - used);
    sizeBytes_.append(data + used, take);
    used += take;
    if (sizeBytes_.size() == wire::kSizeBytes) {
        uint64_t size = 0;
        for (size_t i = wire::kSizeBytes; i-- > 0;) {
            size = (size << 8) | static_cast<unsigned char>(sizeBytes_[i]);
        }
        size_ = static_cast<int64_t>(size);
        state_ = State::Done;
    }
    return used;
}
