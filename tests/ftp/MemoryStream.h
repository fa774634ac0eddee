#pragma once

#include <algorithm>
#include <deque>
#include <string>

#include "ftp/ByteStream.h"

// A ByteStream in memory: reads hand out the queued pieces one by one (then the end of the
// stream, or a failure); writes accept at most the next of `accept` bytes each (all when
// none is queued, -1 for a queued negative).
class MemoryStream : public ByteStream {
public:
    std::deque<std::string> pieces;
    bool failAtEnd = false;
    std::deque<long> accept;
    std::string written;
    int reads = 0;

    long Read(char* buffer, size_t capacity) override {
        ++reads;
        if (pieces.empty()) {
            return failAtEnd ? -1 : 0;
        }
        std::string& piece = pieces.front();
        const size_t n = std::min(capacity, piece.size());
        std::copy(piece.begin(), piece.begin() + static_cast<long>(n), buffer);
        piece.erase(0, n);
        if (piece.empty()) {
            pieces.pop_front();
        }
        return static_cast<long>(n);
    }

    long Write(const char* data, size_t length) override {
        long n = static_cast<long>(length);
        if (!accept.empty()) {
            n = std::min(n, accept.front());
            accept.pop_front();
        }
        if (n < 0) {
            return -1;
        }
        written.append(data, static_cast<size_t>(n));
        return n;
    }
};
