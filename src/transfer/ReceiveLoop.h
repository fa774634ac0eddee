#pragma once

#include <atomic>

#include "net/ByteStream.h"

class Callback;
class ReceiveSession;

// The receiver's per-connection loop over any stream: reads until the stream ends, fails
// or the receiver stops, hands every read to the session and reports progress.
namespace receive_loop {

enum class Ending {
    Stopped,        // the receiver is being destroyed: no events
    Whole,          // a whole file stands under its name, or nothing came at all
    ReadFailed,     // a failed read, or no data for the stream's stall time
    HeaderLate,     // the header was not complete in time
    BadHeader,      // no separator in the first 102400 bytes, or the end inside the header
    Refused,        // the name is not acceptable, or the file cannot be created
    Declined,       // the session's approval (the user, or the policy) said no
    WriteFailed,    // writing the file failed
    Short,          // the stream ended before the announced size
    TooLong,        // exact sizes: more bytes than announced
    PublishFailed,  // the whole file could not be put under its name (the caller's step)
};

// The header must be complete by headerDeadline; callback may be null.
Ending Run(ByteStream& stream, net::Clock::time_point headerDeadline, Callback* callback,
           const std::atomic<bool>& stopping, ReceiveSession& session);

}  // namespace receive_loop
