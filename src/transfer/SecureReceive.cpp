#include "transfer/SecureReceive.h"

#include <sys/statvfs.h>

#include <variant>

#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"
#include "transfer/PartResume.h"
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

std::string Answer(const std::string& ourName, bool accept, const std::string& reason,
                   uint64_t offset = 0) {
    frame::Hello hello;
    hello.name = ourName;
    frame::Verdict verdict;
    verdict.accept = accept;
    verdict.offset = offset;
    verdict.reason = reason;
    return frame::Encode(hello) + frame::Encode(verdict);
}

}  // namespace

Result Run(ByteStream& stream, net::Clock::time_point headerDeadline, Callback* callback,
           const std::atomic<bool>& stopping, ReceivedFile& file, ReceiveSession& session,
           const std::string& folder, const std::string& ourName, const PairingHook& pairing,
           PartResume* resume) {
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

    // Resume: a part of this file an earlier session left, taken over for this one.
    const uint64_t offset = resume != nullptr ? resume->Offer(header, file) : 0;
    // The frame stands for the plain header: the session announces, checks and creates.
    if (header.size > static_cast<uint64_t>(INT64_MAX) || !HasRoom(folder, header.size - offset)) {
        if (offset > 0) {
            resume->Keep(header, file);  // Resume: the part waits for room
        }
        file.Announce(header.path);
        link.Send(Answer(ourName, false, "no space"));
        result.ending = Ending::Refused;
        return result;
    }
    // Fed the body's size: what is held already does not come again.
    auto feed = [&](uint64_t start) {
        const std::string plain = wire::EncodeHeader(header.path, header.size - start);
        return session.Feed(plain.data(), plain.size()) == ReceiveSession::Status::Progress;
    };
    if (offset == 0 && !feed(0)) {
        link.Send(Answer(ourName, false, "cannot write"));
        result.ending = Ending::Refused;
        return result;
    }
    if (!link.Send(Answer(ourName, true, {}, offset))) {
        if (offset > 0) {
            resume->Keep(header, file);  // Resume: cut before it could go on
        }
        result.ending = stopping ? Ending::Stopped : Ending::ReadFailed;
        return result;
    }
    uint64_t start = 0;
    if (offset > 0) {  // Resume: the sender's PREFIX_HASH, our RESUME
        const std::optional<uint64_t> settled = resume->Settle(link, file, offset);
        if (!settled || !feed(*settled)) {
            if (stopping) {
                resume->Keep(header, file);  // ours to end: the part stays
            }  // else the sender could not resume: the part goes, the next try is whole
            result.ending = stopping ? Ending::Stopped : Ending::BadHeader;
            return result;
        }
        start = *settled;
    }
    link.LimitReads(header.size - start);
    result.ending = receive_loop::Run(link, net::kNoDeadline, callback, stopping, session);
    link.LimitReads(UINT64_MAX);
    if (result.ending != Ending::Whole) {
        if (resume != nullptr) {
            resume->Keep(header, file);  // Resume: what came waits for the next session
        }
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
