#include "transfer/ResumeSend.h"

#include <variant>

#include "secure/PrefixDigest.h"
#include "transfer/Frame.h"
#include "transfer/FrameLink.h"
#include "transfer/FrameReader.h"

std::optional<uint64_t> ResumeSend::Agree(FrameLink& link, int file, uint64_t size, uint64_t offset,
                                          const std::atomic<bool>& stopping, Failure& failure) {
    failure = Failure::None;
    if (offset == 0 || offset > size) {
        failure = Failure::BadOffset;
        return std::nullopt;
    }
    const std::optional<prefix_digest::Digest> digest = prefix_digest::Of(file, offset, &stopping);
    if (!digest) {
        failure = Failure::CannotRead;
        return std::nullopt;
    }
    if (!link.Send(frame::Encode(frame::PrefixHash{offset, *digest}))) {
        failure = Failure::NoAnswer;
        return std::nullopt;
    }
    FrameReader reader({frame::Type::Resume});
    const FrameLink::Got got = link.ReadFrame(reader);
    if (got != FrameLink::Got::Frame) {
        failure = got == FrameLink::Got::Refused ? Failure::OutOfTurn : Failure::NoAnswer;
        return std::nullopt;
    }
    const uint64_t start = std::get<frame::Resume>(reader.message()).offset;
    if (start != 0 && start != offset) {
        failure = Failure::OutOfTurn;
        return std::nullopt;
    }
    return start;
}
