#pragma once

#include <string_view>

// Tells where a reply begins and ends, fed the lines of the control connection one by one.
// A reply begins with a line that starts with a three-digit code; lines before it that do
// not (empty lines, stray text) belong to no reply. A reply whose first line has '-' after
// its code runs until a line that starts with the same number followed by a space; every
// other reply is one line.
class ReplyAssembler {
public:
    enum class Step {
        NotAReply,  // the line belongs to no reply and is passed over
        More,       // the reply goes on
        Complete,   // the line completes the reply; the next line starts a new one
    };

    ReplyAssembler() = default;
    virtual ~ReplyAssembler() = default;

    Step Feed(std::string_view line);
    // The code of the reply being read or last completed.
    int code() const { return code_; }

    // True for a line that can begin a reply: three digits, then the end, a space or '-'.
    static bool BeginsReply(std::string_view line);

private:
    bool inside_ = false;
    int code_ = 0;
};
