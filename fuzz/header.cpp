// Feeds the transfer header reader arbitrary bytes in arbitrary pieces: however the bytes
// are cut, it must reach the same header and take the same bytes as when fed them at once.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "transfer/HeaderReader.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the piece size and a small limit, to reach the failure path.
    const size_t piece = 1 + data[0] % 16;
    const size_t limit = 16 + data[0];
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    HeaderReader whole(limit);
    const size_t wholeUsed = whole.Feed(bytes, length);

    HeaderReader pieces(limit);
    size_t used = 0;
    for (size_t at = 0; at < length && pieces.state() == HeaderReader::State::NeedMore;
         at += piece) {
        const size_t n = length - at < piece ? length - at : piece;
        const size_t taken = pieces.Feed(bytes + at, n);
        if (taken > n)
            abort();
        used += taken;
    }
    if (whole.state() != pieces.state())
        abort();
    if (whole.state() == HeaderReader::State::Done) {
        if (whole.name() != pieces.name() || whole.size() != pieces.size())
            abort();
        if (wholeUsed != used || wholeUsed != whole.name().size() + 9)
            abort();
    }
    return 0;
}
