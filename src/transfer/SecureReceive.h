#pragma once

#include <atomic>
#include <string>

#include "net/ByteStream.h"
#include "transfer/ReceiveLoop.h"

class Callback;
class ReceivedFile;
class ReceiveSession;

// One secure session on the receiving side, over a stream already inside TLS: the sender's
// HELLO and FILE, our HELLO and VERDICT, exactly the announced number of body bytes through
// the plain receive loop, and once the file stands under its name, the ACK; then the sender's
// END. The frames before the body must be in by headerDeadline.
namespace secure_receive {

struct Result {
    receive_loop::Ending ending = receive_loop::Ending::Whole;
    std::string name;  // the file's name as the FILE frame gave it; empty when none came
};

// session is over file; `folder` is where file writes (for its free space).
Result Run(ByteStream& stream, net::Clock::time_point headerDeadline, Callback* callback,
           const std::atomic<bool>& stopping, ReceivedFile& file, ReceiveSession& session,
           const std::string& folder, const std::string& ourName);

}  // namespace secure_receive
