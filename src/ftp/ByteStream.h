#pragma once

#include <cstddef>

// A connected byte stream: the control connection's reader and writer and the file copy
// loops work over this, so that tests and the fuzzer can feed them bytes without a socket.
class ByteStream {
public:
    virtual ~ByteStream() = default;
    // Bytes read (at most capacity), 0 at the end of the stream, -1 on failure or time-out.
    virtual long Read(char* buffer, size_t capacity) = 0;
    // Bytes accepted (1 to length), or -1 when none could be written.
    virtual long Write(const char* data, size_t length) = 0;
};
