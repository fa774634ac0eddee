#pragma once

#include <deque>
#include <string>

#include "net/ByteStream.h"

// A ByteStream in memory, for tests and fuzzers: reads hand out the queued pieces one by one
// (then the end of the stream, or a failure with errno `failure`); writes accept at most the
// next of `accept` bytes each (all when none is queued, -1 for a queued negative). Nothing
// here ever waits.
class MemoryStream : public ByteStream {
public:
    enum class Closed { No, Orderly, Reset };

    std::deque<std::string> pieces;
    bool failAtEnd = false;
    int failure = 0;  // errno of that failure; 0: ECONNRESET
    std::deque<long> accept;
    std::string written;
    int reads = 0;
    bool outputEnded = false;
    bool peerTakesAll = true;  // what AwaitPeerEnd answers
    Closed closed = Closed::No;
    net::Clock::time_point deadline = net::kNoDeadline;

    long Read(char* buffer, size_t capacity) override;
    long Write(const char* data, size_t length) override;
    net::Wait WaitFor(Direction, net::Clock::time_point) override { return net::Wait::Ready; }
    void SetDeadline(net::Clock::time_point end) override { deadline = end; }
    bool EndOutput() override;
    bool AwaitPeerEnd(net::Clock::time_point) override { return outputEnded && peerTakesAll; }
    void Close() override { closed = Closed::Orderly; }
    void Reset() override { closed = Closed::Reset; }
};
