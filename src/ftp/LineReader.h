#pragma once

#include <cstddef>
#include <string>

#include "net/ByteStream.h"

// Reads the control connection's reply lines through a 4096-byte buffer. A line ends at LF
// (a CR before it is dropped). Lines are bounded, and a NUL never belongs in one: either
// ends the read as a failure, so a hostile server cannot make the client grow or misread.
class LineReader {
public:
    static constexpr size_t kBufferSize = 4096;
    static constexpr size_t kMaxLine = 64 * 1024;

    enum class Result { Line, End, Failed, TooLong, HasNul };

    explicit LineReader(ByteStream& stream) : stream_(stream) {}
    LineReader(const LineReader&) = delete;
    LineReader& operator=(const LineReader&) = delete;
    virtual ~LineReader() = default;

    // Line: `line` holds it without its end (a last line cut off by the end of the stream
    // counts too). End: the stream ended before any byte of a line.
    Result ReadLine(std::string& line);
    // True when bytes already taken from the stream wait to be read as lines.
    bool HasBuffered() const { return start_ != end_; }

private:
    ByteStream& stream_;
    char buffer_[kBufferSize];
    size_t start_ = 0;
    size_t end_ = 0;
};
