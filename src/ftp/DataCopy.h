#pragma once

#include <cstddef>
#include <cstdint>

#include "net/ByteStream.h"

class BytesSendInterface;

// The copy loops of a transfer, between an open file and the data connection.
namespace datacopy {

inline constexpr size_t kChunk = 102400;

enum class End {
    Finished,      // the whole file (upload) or stream (download) went across
    StreamFailed,  // the data connection failed or stalled; the closing reply decides
    FileError,     // reading, writing or moving in the local file failed
    FileEnded,     // the file ended before the size announced for it (it shrank)
};

// Sends the file from its current position in chunks, reporting to sink (may be null) the
// bytes accepted so far after every write. Bytes a write did not accept are read again for
// the next one, so nothing is lost or sent twice. A file that ends before `total` bytes is
// not whole: FileEnded.
End Upload(int fileFd, ByteStream& out, BytesSendInterface* sink, int64_t total);

// Writes everything the stream delivers until it ends into the file.
End Download(ByteStream& in, int fileFd);

}  // namespace datacopy
