#pragma once

#include <cstddef>
#include <string_view>

#include "net/ByteStream.h"

// Writes command lines through a 4096-byte buffer, flushed after every line so that no
// command is held back.
class LineWriter {
public:
    static constexpr size_t kBufferSize = 4096;

    explicit LineWriter(ByteStream& stream) : stream_(stream) {}
    LineWriter(const LineWriter&) = delete;
    LineWriter& operator=(const LineWriter&) = delete;
    virtual ~LineWriter() = default;

    // Writes text and CR LF, and flushes; false when the stream did not take all of it.
    bool WriteLine(std::string_view text);

private:
    bool Put(std::string_view bytes);
    bool Flush();

    ByteStream& stream_;
    char buffer_[kBufferSize];
    size_t used_ = 0;
};
