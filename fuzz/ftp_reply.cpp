// Feeds the control connection's reply reading and the PASV parser arbitrary bytes, cut
// into arbitrary pieces: however the bytes arrive, the same replies must come out, each one
// a reply for what it is, and no line may break the bounds the reader promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "ftp/FtpText.h"
#include "ftp/LineReader.h"
#include "ftp/ReplyAssembler.h"
#include "ftp/ReplyReader.h"
#include "net/MemoryStream.h"

namespace {

// The bytes as a stream that hands them out `piece` at a time.
void Queue(MemoryStream& stream, const char* data, size_t length, size_t piece) {
    for (size_t at = 0; at < length; at += piece) {
        stream.pieces.emplace_back(data + at, length - at < piece ? length - at : piece);
    }
}

// Bound of one read here: above two whole lines of the line reader's cap, so both limits are
// within reach of the fuzzer's longest input.
constexpr size_t kMaxReplyBytes = 150000;

// Every reply the reader makes of the stream, in order, and how the reading ended.
std::vector<std::string> Read(const char* data, size_t length, size_t piece, bool finalOnly) {
    MemoryStream stream;
    Queue(stream, data, length, piece);
    LineReader lines(stream);
    ReplyReader replies(lines, kMaxReplyBytes);
    std::vector<std::string> seen;
    std::string line;
    for (;;) {
        const ReplyReader::Result result = replies.Read(finalOnly, line);
        if (result != ReplyReader::Result::Reply) {
            seen.push_back("#" + std::to_string(static_cast<int>(result)));
            return seen;
        }
        if (line.size() > LineReader::kMaxLine || line.find('\n') != std::string::npos ||
            line.find('\0') != std::string::npos || !ReplyAssembler::BeginsReply(line) ||
            replies.code() != ftp::LeadingNumber(line) ||
            replies.code() / 100 != ftp::ReplyClassOf(line) ||
            (finalOnly && replies.code() / 100 == 1)) {
            abort();
        }
        seen.push_back(line);
        ftp::PassiveTarget target;
        if (ftp::ParsePassiveReply(line, target) && (target.port < 1 || target.port > 65535)) {
            abort();
        }
        if (ftp::LogSafe(line).find_first_of("\r\n") != std::string::npos) {
            abort();
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the piece size of the second reading (1 to 64 bytes, or 128 to
    // 8192 so that long inputs go quickly), and whether preliminary replies are read past.
    const size_t piece = (1u + (data[0] & 0x3F)) << ((data[0] & 0x40) != 0 ? 7 : 0);
    const bool finalOnly = (data[0] & 0x80) != 0;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    if (Read(bytes, size - 1, size, finalOnly) != Read(bytes, size - 1, piece, finalOnly)) {
        abort();
    }
    return 0;
}
