#include "transfer/SecureReceive.h"

#include <sys/statvfs.h>

#include <variant>

#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"
#include "transfer/ReceiveSession.h"
#include "transfer/ReceivedFile.h"
#include "transfer/WireFormat.h"

namespace secure_receive {

namespace {

using receive_loop::Ending;

// Whether the folder's file system has room for the file (unknown counts as room: the write
// will tell).
bool HasRoom(const std::string& folder, uint64_t size) {
    struct statvfs info {};
    if (statvfs(folder.c_str(), &info) != 0) {
        return true;
    }
    return size <= static_cast<uint64_t>(info.f_bavail) * info.f_frsize;
}

std::string Answer(const std::string& ourName, bool accept, const std::string& reason) {
    frame::Hello hello;
    hello.name = ourName;
    frame::Verdict verdict;
    verdict.accept = accept;
    verdict.reason = reason;
    return frame::Encode(hello) + frame::Encode(verdict);
}

}  // namespace

Result Run(ByteStream& stream, net::Clock::time_point headerDeadline, Callback* callback,
           const std::atomic<bool>& stopping, ReceivedFile& file, ReceiveSession& session,
           const std::string& folder, const std::string& ourName, const PairingHook& pairing,
           const ConsentHook& consent) {
    Result result;
    FrameLink link(stream);
    link.SetDeadline(headerDeadline);
    // What a frame that did not come means.
    auto missing = [&](FrameLink::Got got) {
        if (stopping) {
            return Ending::Stopped;
        }
        if (got == FrameLink::Got::Failed) {
            return net::Clock::now() >= headerDeadline ? Ending::HeaderLate : Ending::ReadFailed;
        }
        return Ending::BadHeader;
    };

    FrameReader reader({frame::Type::Hello});
    FrameLink::Got got = link.ReadFrame(reader);
    if (got == FrameLink::Got::Closed ||
        (got == FrameLink::Got::Failed && !stopping && net::Clock::now() < headerDeadline)) {
        // Nothing asked: as a plain connection that brought nothing, ended or cut. A session
        // cut here (a middle refused by its sender) is no failed receive to show.
        return result;
    }
    if (got != FrameLink::Got::Frame) {
        result.ending = missing(got);
        return result;
    }
    const frame::Hello& hello = std::get<frame::Hello>(reader.message());
    if (hello.purpose == frame::Purpose::Pairing && pairing) {
        pairing(link, hello);
        return result;  // no file: the pairing tells its own outcome
    }
    if (hello.purpose != frame::Purpose::Files) {
        result.ending = Ending::BadHeader;
        return result;
    }
    const std::string peerName = hello.name;  // the reader's next frame takes its place
    reader.Next();
    reader.Expect({frame::Type::File, frame::Type::End});
    got = link.ReadFrame(reader);
    if (got == FrameLink::Got::Closed) {
        return result;
    }
    const frame::File* refused =
        reader.refused() != nullptr ? std::get_if<frame::File>(reader.refused()) : nullptr;
    if (got == FrameLink::Got::Refused && refused != nullptr) {
        result.name = refused->path;
        file.Announce(result.name);
        link.Send(Answer(ourName, false, "bad name"));
        result.ending = Ending::Refused;
        return result;
    }
    if (got != FrameLink::Got::Frame) {
        result.ending = missing(got);
        return result;
    }
    if (std::holds_alternative<frame::End>(reader.message())) {
        return result;  // a session without files
    }
    const frame::File header = std::get<frame::File>(reader.message());
    result.name = header.path;
    link.SetDeadline(net::kNoDeadline);

    // The frame stands for the plain header: the session announces, checks and creates.
    if (header.size > static_cast<uint64_t>(INT64_MAX) || !HasRoom(folder, header.size)) {
        file.Announce(header.path);
        link.Send(Answer(ourName, false, "no space"));
        result.ending = Ending::Refused;
        return result;
    }
    if (consent) {
        const ConsentAsker::Answer answer = consent(peerName, header.path, header.size);
        if (answer != ConsentAsker::Answer::Accept) {
            file.Announce(header.path);
            if (answer == ConsentAsker::Answer::Decline) {
                link.Send(Answer(ourName, false, "declined"));
            }
            result.ending = stopping ? Ending::Stopped : Ending::Declined;
            return result;
        }
    }
    const std::string plain = wire::EncodeHeader(header.path, header.size);
    if (session.Feed(plain.data(), plain.size()) != ReceiveSession::Status::Progress) {
        link.Send(Answer(ourName, false, "cannot write"));
        result.ending = Ending::Refused;
        return result;
    }
    if (!link.Send(Answer(ourName, true, {}))) {
        result.ending = stopping ? Ending::Stopped : Ending::ReadFailed;
        return result;
    }
    link.LimitReads(header.size);
    result.ending = receive_loop::Run(link, net::kNoDeadline, callback, stopping, session);
    link.LimitReads(UINT64_MAX);
    if (result.ending != Ending::Whole) {
        return result;
    }
    if (stopping) {
        result.ending = Ending::Stopped;
        return result;
    }
    if (!file.Publish()) {
        link.Send(frame::Encode(frame::Ack{false, {}}));
        result.ending = Ending::PublishFailed;
        return result;
    }
    // Under the name it was kept as: another file may have had the one it came with.
    link.Send(frame::Encode(
        frame::Ack{true, file.StoredName().empty() ? header.path : file.StoredName()}));
    result.name = file.StoredName().empty() ? header.path : file.StoredName();
    // The file is kept whatever comes now; the sender's END or close ends the session.
    reader.Next();
    reader.Expect({frame::Type::End});
    link.SetDeadline(net::DeadlineAfter(std::chrono::seconds(10)));
    link.ReadFrame(reader);
    link.EndOutput();
    return result;
}

}  // namespace secure_receive
