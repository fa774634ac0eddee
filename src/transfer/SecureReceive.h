#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "core/ConsentAsker.h"
#include "net/ByteStream.h"
#include "transfer/Frame.h"
#include "transfer/ReceiveLoop.h"

class Callback;
class FrameLink;
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

// Serves a session whose HELLO asked to pair (the link is past that HELLO).
using PairingHook = std::function<void(FrameLink& link, const frame::Hello& hello)>;

// Asked after the FILE frame, before the VERDICT, with the sender's HELLO name; may wait long.
using ConsentHook = std::function<ConsentAsker::Answer(const std::string& peerName,
                                                       const std::string& file, uint64_t size)>;

// session is over file; `folder` is where file writes (for its free space). Without a
// pairing hook a HELLO that asks to pair ends the session.
Result Run(ByteStream& stream, net::Clock::time_point headerDeadline, Callback* callback,
           const std::atomic<bool>& stopping, ReceivedFile& file, ReceiveSession& session,
           const std::string& folder, const std::string& ourName, const PairingHook& pairing = {},
           const ConsentHook& consent = {});

}  // namespace secure_receive
