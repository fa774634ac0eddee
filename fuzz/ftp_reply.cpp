// Feeds the control connection's reply reading and the PASV parser arbitrary bytes, cut
// into arbitrary pieces: however the bytes arrive, the same lines and replies must come out,
// and no line may break the bounds the reader promises.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "ftp/ByteStream.h"
#include "ftp/FtpText.h"
#include "ftp/LineReader.h"
#include "ftp/ReplyAssembler.h"

namespace {

class PieceStream : public ByteStream {
public:
    PieceStream(const char* data, size_t length, size_t piece)
        : data_(data), length_(length), piece_(piece) {}
    long Read(char* buffer, size_t capacity) override {
        size_t n = length_ - at_;
        n = n < piece_ ? n : piece_;
        n = n < capacity ? n : capacity;
        memcpy(buffer, data_ + at_, n);
        at_ += n;
        return static_cast<long>(n);
    }
    long Write(const char*, size_t length) override { return static_cast<long>(length); }

private:
    const char* data_;
    size_t length_;
    size_t piece_;
    size_t at_ = 0;
};

// Every line and reply end the reader and assembler make of the stream, in order.
std::vector<std::string> Read(const char* data, size_t length, size_t piece) {
    PieceStream stream(data, length, piece);
    LineReader reader(stream);
    ReplyAssembler assembler;
    std::vector<std::string> seen;
    std::string line;
    for (;;) {
        const LineReader::Result result = reader.ReadLine(line);
        if (result != LineReader::Result::Line) {
            seen.push_back("#" + std::to_string(static_cast<int>(result)));
            return seen;
        }
        if (line.size() > LineReader::kMaxLine || line.find('\n') != std::string::npos ||
            line.find('\0') != std::string::npos) {
            abort();
        }
        seen.push_back(line + (assembler.Feed(line) ? " <end>" : ""));
        ftp::PassiveTarget target;
        if (ftp::ParsePassiveReply(line, target) && (target.port < 1 || target.port > 65535)) {
            abort();
        }
        ftp::ReplyClassOf(line);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    // The first byte picks the piece size of the second reading.
    const size_t piece = 1 + data[0] % 64;
    const char* bytes = reinterpret_cast<const char*>(data + 1);
    if (Read(bytes, size - 1, size) != Read(bytes, size - 1, piece)) {
        abort();
    }
    return 0;
}
