#pragma once

#include <cstddef>

#include "net/Wait.h"

// A connected byte stream. The sender's and receiver's loops, the FTP control connection's
// reader and writer and the FTP copy loops work over this, so that another kind of stream
// (TLS, memory for tests and fuzzers) slots in without touching them. Failures are values:
// -1 or false, with errno holding the cause (ETIMEDOUT after a stall or the deadline,
// ECANCELED once the stream's waker was woken).
class ByteStream {
public:
    enum class Direction { Readable, Writable };

    virtual ~ByteStream() = default;
    // Bytes read (at most capacity), 0 at the end of the stream, -1 on failure or time-out.
    virtual long Read(char* buffer, size_t capacity) = 0;
    // Waits until the whole length is accepted. An error after part of it went out returns
    // that part, so the caller can send the rest again; a stall or a wake returns -1 even
    // then, so that one stall costs one wait.
    virtual long Write(const char* data, size_t length) = 0;
    // Waits until a read or write would not block, up to the deadline.
    virtual net::Wait WaitFor(Direction direction, net::Clock::time_point deadline) = 0;
    // From now on no wait lasts beyond `end` (net::kNoDeadline: none), whatever progress.
    virtual void SetDeadline(net::Clock::time_point end) = 0;

    // Ends our side of the stream; reading goes on.
    virtual bool EndOutput() = 0;
    // After EndOutput: true once the peer has ended its side having taken every byte we
    // sent (whatever it sends meanwhile is passed over); false on a reset, at the deadline
    // or on a wake. For TCP: its system acknowledged every byte and no reset came.
    virtual bool AwaitPeerEnd(net::Clock::time_point deadline) = 0;
    // Closes with an orderly end of the stream.
    virtual void Close() = 0;
    // Closes with a reset, so the peer cannot take a cut-off stream for a whole one.
    virtual void Reset() = 0;
};
