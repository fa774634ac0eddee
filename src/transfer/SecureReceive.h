#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "core/ConsentAsker.h"
#include "core/IncomingBatch.h"
#include "net/ByteStream.h"
#include "transfer/Frame.h"
#include "transfer/ReceiveLoop.h"

class Callback;
class FrameLink;
class PartResume;
class ReceivedFile;
class ReceiveSession;

// One secure session on the receiving side, over a stream already inside TLS: the sender's
// HELLO, then either one FILE (our HELLO and VERDICT, exactly the announced number of body
// bytes, and once the file stands under its name, the ACK; then the sender's END), or any
// number of groups (BATCH, its FOLDERs, its FILEs, each exchanged as that one FILE), then END.
// The frames before the first body must be in by headerDeadline.
namespace secure_receive {

struct Result {
    receive_loop::Ending ending = receive_loop::Ending::Whole;
    // The file's name as the FILE frame gave it (as kept, once kept); empty when none came.
    // In a session of groups, the file the session ended in, if any: the kept ones are told
    // through BatchEvents.
    std::string name;
    bool groups = false;  // the session carried BATCHes
};

// What a session of groups tells, on its thread (each may be empty). started: a BATCH was
// read, nothing of it made yet; progress: bytes came or a file ended; kept: a file stands
// under `stored` (its path below the receive folder); ended: the group is over, whole when
// every announced file came and was kept.
struct BatchEvents {
    std::function<void(const IncomingBatch&)> started;
    std::function<void(const IncomingBatch&)> progress;
    std::function<void(const IncomingBatch&, const std::string& stored)> kept;
    std::function<void(const IncomingBatch&, bool whole)> ended;
};

// Serves a session whose HELLO asked to pair (the link is past that HELLO).
using PairingHook = std::function<void(FrameLink& link, const frame::Hello& hello)>;

// Asked before anything of an offer is written (a lone FILE, or a group at its BATCH), with the
// sender's HELLO name, what is offered (a file's name; a group's description), its size and
// how many files it holds; may wait long.
using ConsentHook = std::function<ConsentAsker::Answer(
    const std::string& peerName, const std::string& file, uint64_t size, uint32_t files)>;

// session is over file, for a lone FILE; `folder` is where file writes (for its free space),
// and where the groups' folders and files are made. Without a pairing hook a HELLO that asks
// to pair ends the session. With `resume`, a lone file cut in an earlier session goes on where
// it stopped, and one cut in this session is kept for that.
Result Run(ByteStream& stream, net::Clock::time_point headerDeadline, Callback* callback,
           const std::atomic<bool>& stopping, ReceivedFile& file, ReceiveSession& session,
           const std::string& folder, const std::string& ourName, const PairingHook& pairing = {},
           const BatchEvents& events = {}, PartResume* resume = nullptr,
           const ConsentHook& consent = {});

}  // namespace secure_receive
