#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "transfer/WireFormat.h"

// Puts a transfer header together from reads of any size. Feed it what arrives; once it
// is Done, the bytes it did not consume are the start of the body.
class HeaderReader {
public:
    enum class State { NeedMore, Done, Failed };

    // limit: the most bytes that may come before the separator is found.
    explicit HeaderReader(size_t limit = wire::kPieceSize) : limit_(limit) {}

    // Returns how many of the bytes belong to the header (all of them while NeedMore).
    size_t Feed(const char* data, size_t length);

    State state() const { return state_; }
    // Valid once Done.
    const std::string& name() const { return name_; }
    int64_t size() const { return size_; }

private:
    size_t limit_;
    State state_ = State::NeedMore;
    bool haveName_ = false;
    std::string name_;
    std::string sizeBytes_;
    int64_t size_ = 0;
};
