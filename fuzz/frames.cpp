// Feeds the frame reader arbitrary bytes in arbitrary pieces: however they are cut, it must
// reach the same frames, take the same bytes and fail in the same way; every frame it yields
// must encode back to exactly the bytes it took, and no FILE it yields may carry a name the
// receive folder would refuse, nor an ACK a path a batch could not have made.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>

#include "transfer/Frame.h"
#include "transfer/FrameReader.h"
#include "transfer/ReceivedName.h"
#include "transfer/RelativePath.h"

namespace {

struct Run {
    std::vector<std::string> frames;  // the bytes each frame took
    FrameReader::State last = FrameReader::State::NeedMore;
    frame::Error error = frame::Error::None;
};

std::string Reencode(const frame::Message& message) {
    return std::visit([](const auto& m) { return frame::Encode(m); }, message);
}

Run Read(const char* data, size_t length, size_t piece, bool filesOnly) {
    Run run;
    FrameReader reader;
    if (filesOnly) {
        reader.Expect({frame::Type::Hello, frame::Type::File, frame::Type::End});
    }
    std::string taken;
    size_t at = 0;
    while (at < length) {
        const size_t n = length - at < piece ? length - at : piece;
        const size_t used = reader.Feed(data + at, n);
        if (used > n)
            abort();
        taken.append(data + at, used);
        at += used;
        if (reader.state() == FrameReader::State::Failed) {
            break;
        }
        if (reader.state() == FrameReader::State::Done) {
            const frame::Message& message = reader.message();
            if (Reencode(message) != taken)
                abort();
            if (const auto* file = std::get_if<frame::File>(&message)) {
                if (!received_name::IsAcceptable(file->path))
                    abort();
            }
            if (const auto* ack = std::get_if<frame::Ack>(&message)) {
                // A file of a folder's group is kept under a path of several names.
                std::vector<std::string> names;
                if (ack->kept &&
                    relative_path::Split(ack->name, names) != relative_path::Problem::None)
                    abort();
            }
            run.frames.push_back(taken);
            taken.clear();
            reader.Next();
        } else if (used != n) {
            abort();  // a frame not yet whole takes everything offered
        }
    }
    reader.End();
    run.last = reader.state();
    run.error = reader.error();
    return run;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the piece size and whether only a sender's frames are expected.
    const size_t piece = 1 + data[0] % 13;
    const bool filesOnly = (data[0] & 0x80) != 0;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    const size_t length = size - 1;

    const Run whole = Read(bytes, length, length == 0 ? 1 : length, filesOnly);
    const Run pieces = Read(bytes, length, piece, filesOnly);
    if (whole.frames != pieces.frames || whole.last != pieces.last || whole.error != pieces.error)
        abort();
    return 0;
}
