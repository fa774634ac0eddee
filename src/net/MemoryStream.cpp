#include "net/MemoryStream.h"

#include <errno.h>

#include <algorithm>

long MemoryStream::Read(char* buffer, size_t capacity) {
    ++reads;
    if (pieces.empty()) {
        if (failAtEnd) {
            errno = failure != 0 ? failure : ECONNRESET;
            return -1;
        }
        return 0;
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

long MemoryStream::Write(const char* data, size_t length) {
    long n = static_cast<long>(length);
    if (!accept.empty()) {
        n = std::min(n, accept.front());
        accept.pop_front();
    }
    if (n < 0 || outputEnded) {
        errno = EPIPE;
        return -1;
    }
    written.append(data, static_cast<size_t>(n));
    return n;
}

bool MemoryStream::EndOutput() {
    outputEnded = true;
    return true;
}
