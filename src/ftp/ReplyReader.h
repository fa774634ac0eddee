#pragma once

#include <cstddef>
#include <string>

class LineReader;

// Reads whole replies from the control connection's lines, so that every reply is taken
// for what it is: lines that belong to no reply are passed over, and so, where a final
// answer is due, are preliminary replies (1xx, restart markers among them). Everything one
// read takes is bounded as a whole, so a server cannot keep a read going.
class ReplyReader {
public:
    static constexpr size_t kMaxReplyBytes = 1024 * 1024;

    enum class Result {
        Reply,    // `line` holds the reply's last line
        End,      // the stream ended before a reply was complete
        Failed,   // reading failed or stalled (errno tells why)
        Refused,  // a line too long or holding NUL, or more than the bound before the reply
    };

    explicit ReplyReader(LineReader& lines, size_t maxBytes = kMaxReplyBytes)
        : lines_(lines), maxBytes_(maxBytes) {}
    ReplyReader(const ReplyReader&) = delete;
    ReplyReader& operator=(const ReplyReader&) = delete;
    virtual ~ReplyReader() = default;

    // Reads the next reply; with finalOnly, reads on past preliminary replies to the first
    // reply of another class.
    Result Read(bool finalOnly, std::string& line);
    // The code of the reply last read.
    int code() const { return code_; }

private:
    LineReader& lines_;
    size_t maxBytes_;
    int code_ = 0;
};
