// Feeds the receiving side arbitrary byte streams, cut into reads at arbitrary points, both
// straight into the session and through the receiver's real loop over a stream in memory: the
// file it makes must not depend on the cuts or the path, and no name it creates may leave the
// receive folder or hit Zingwell's own files.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "net/MemoryStream.h"
#include "transfer/ReceiveLoop.h"
#include "transfer/ReceiveSession.h"

namespace {

struct MemoryTarget : ReceiveSession::Target {
    void Announce(const std::string& name) override { announced.push_back(name); }
    bool Create(const std::string& name) override {
        CheckSafe(name);
        created.push_back(name);
        return canCreate;
    }
    // Like a disk with `room` bytes left: takes what fits, then fails.
    bool Write(const char* data, size_t length) override {
        const size_t fits = room - written.size() < length ? room - written.size() : length;
        written.append(data, fits);
        return fits == length;
    }

    static char Lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; }
    static void CheckSafe(const std::string& name) {
        if (name.empty() || name == "." || name == ".." || name.size() > 255)
            abort();
        std::string lower;
        for (char c : name) {
            const unsigned char byte = static_cast<unsigned char>(c);
            if (c == '/' || byte < 0x20 || byte == 0x7F)
                abort();
            lower.push_back(Lower(c));
        }
        if (lower == "files2send.txt" || lower == "zingwelllog.txt" ||
            lower.rfind(".files2send.txt.tmp-", 0) == 0 ||
            lower.rfind(".zingwelllog.txt.tmp-", 0) == 0)
            abort();
    }

    std::vector<std::string> announced;
    std::vector<std::string> created;
    std::string written;
    bool canCreate = true;
    size_t room = 0;
};

struct Outcome {
    MemoryTarget target;
    ReceiveSession::Status status;
    int64_t received = 0;
    int64_t size = 0;
};

void Run(Outcome& outcome, const char* data, size_t length, const std::vector<size_t>& cuts) {
    ReceiveSession session(outcome.target);
    size_t at = 0;
    ReceiveSession::Status status = ReceiveSession::Status::Reading;
    for (size_t i = 0; at < length; ++i) {
        size_t piece = cuts.empty() ? length : cuts[i % cuts.size()];
        piece = piece > length - at ? length - at : piece;
        status = session.Feed(data + at, piece);
        at += piece;
        if (status != ReceiveSession::Status::Reading && status != ReceiveSession::Status::Progress)
            break;
    }
    if (status == ReceiveSession::Status::Reading || status == ReceiveSession::Status::Progress)
        status = session.End();
    outcome.status = status;
    outcome.received = session.received();
    outcome.size = session.size();
}

// The same stream through the receiver's real loop, read from memory in the same cuts.
ReceiveSession::Status RunLoop(Outcome& outcome, const char* data, size_t length,
                               const std::vector<size_t>& cuts) {
    using Status = ReceiveSession::Status;
    MemoryStream stream;
    for (size_t at = 0, i = 0; at < length; ++i) {
        const size_t piece =
            cuts[i % cuts.size()] < length - at ? cuts[i % cuts.size()] : length - at;
        stream.pieces.emplace_back(data + at, piece);
        at += piece;
    }
    ReceiveSession session(outcome.target);
    const std::atomic<bool> stopping{false};
    const receive_loop::Ending ending =
        receive_loop::Run(stream, net::kNoDeadline, nullptr, stopping, session);
    outcome.received = session.received();
    outcome.size = session.size();
    switch (ending) {
        case receive_loop::Ending::Whole:
            return Status::Finished;
        case receive_loop::Ending::BadHeader:
            return Status::BadHeader;
        case receive_loop::Ending::Refused:
            return Status::Refused;
        case receive_loop::Ending::WriteFailed:
            return Status::WriteFailed;
        case receive_loop::Ending::Short:
            return Status::Short;
        case receive_loop::Ending::TooLong:
            return Status::TooLong;
        default:
            abort();  // nothing in memory fails, times out or stops
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) {
        return 0;
    }
    // Four bytes of settings: the cut sizes, the room on the disk, whether creating works.
    std::vector<size_t> cuts = {1u + data[0] % 7, 1u + data[1] * 3u, 1u + data[0] / 7};
    const size_t room = data[2] & 0x80 ? data[2] & 0x7F : static_cast<size_t>(-1);
    const bool canCreate = (data[3] & 1) == 0;
    const char* stream = reinterpret_cast<const char*>(data + 4);
    const size_t length = size - 4;

    Outcome whole;
    whole.target.room = room;
    whole.target.canCreate = canCreate;
    Run(whole, stream, length, {});
    Outcome pieces;
    pieces.target.room = room;
    pieces.target.canCreate = canCreate;
    Run(pieces, stream, length, cuts);

    if (whole.status != pieces.status || whole.size != pieces.size ||
        whole.target.announced != pieces.target.announced ||
        whole.target.created != pieces.target.created ||
        whole.target.written != pieces.target.written)
        abort();
    Outcome looped;
    looped.target.room = room;
    looped.target.canCreate = canCreate;
    looped.status = RunLoop(looped, stream, length, cuts);
    if (looped.status != pieces.status || looped.size != pieces.size ||
        looped.target.created != pieces.target.created ||
        looped.target.written != pieces.target.written)
        abort();
    if (whole.target.created.size() > 1 || whole.target.announced.size() > 1)
        abort();
    // A whole file is exactly the bytes after the header.
    if (whole.status == ReceiveSession::Status::Finished && !whole.target.created.empty()) {
        const size_t header = whole.target.created[0].size() + 9;
        if (whole.target.written != std::string(stream + header, length - header))
            abort();
    }
    if (whole.status == ReceiveSession::Status::Finished && whole.received != int64_t(length))
        abort();
    return 0;
}
