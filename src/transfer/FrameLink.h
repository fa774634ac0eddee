#pragma once

#include <cstdint>
#include <string>

#include "net/ByteStream.h"
#include "transfer/FrameReader.h"

// Frames over a stream, and the raw body between them. Reads go through a buffer of its own,
// so that bytes that came behind a frame (the start of a body) are not lost; as a ByteStream
// it hands out those bytes first and never more than the limit set (then the end), so that
// the receive loop takes exactly one body.
class FrameLink : public ByteStream {
public:
    enum class Got { Frame, Refused, Closed, Failed };

    explicit FrameLink(ByteStream& stream) : stream_(stream) {}

    // Reads one frame into reader (expectations set by the caller). Closed: the stream ended
    // before any byte of it; Refused: reader.error() says why; Failed: errno says why.
    Got ReadFrame(FrameReader& reader);
    // The whole frame, or false.
    bool Send(const std::string& bytes);
    // Reads after this hand out at most `bytes`, then the end of the stream.
    void LimitReads(uint64_t bytes) { limit_ = bytes; }

    long Read(char* buffer, size_t capacity) override;
    long Write(const char* data, size_t length) override { return stream_.Write(data, length); }
    net::Wait WaitFor(Direction direction, net::Clock::time_point deadline) override;
    void SetDeadline(net::Clock::time_point end) override { stream_.SetDeadline(end); }
    bool EndOutput() override { return stream_.EndOutput(); }
    bool AwaitPeerEnd(net::Clock::time_point deadline) override {
        return stream_.AwaitPeerEnd(deadline);
    }
    void Close() override { stream_.Close(); }
    void Reset() override { stream_.Reset(); }

private:
    ByteStream& stream_;
    std::string pending_;  // read, not yet used
    uint64_t limit_ = UINT64_MAX;
    bool ended_ = false;  // a gathering read met the end, or a failure (its errno)
    int failure_ = 0;
};
