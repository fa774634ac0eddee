#pragma once

#include <atomic>
#include <cstdint>
#include <optional>

class FrameLink;

// The sending side of a resumed file: the receiver's VERDICT offered `offset`, the length of
// a part it holds. Sends the SHA-256 of the file's first `offset` bytes (PREFIX_HASH) and
// reads the receiver's RESUME.
class ResumeSend {
public:
    enum class Failure {
        None,
        BadOffset,   // an offset beyond the file: the receiver is broken or hostile
        CannotRead,  // the file's prefix could not be read
        NoAnswer,    // the stream failed or ended before the RESUME
        OutOfTurn,   // another frame, or a RESUME at an offset not offered
    };

    // Where the body starts (the offset, or 0 for the whole file), or nothing and why. The
    // prefix's reading ends early once `stopping` is set.
    static std::optional<uint64_t> Agree(FrameLink& link, int file, uint64_t size, uint64_t offset,
                                         const std::atomic<bool>& stopping, Failure& failure);
};
