#pragma once

#include <string_view>

// Tells where a reply ends, fed its lines one by one. A reply whose first line has '-' in
// the fourth place runs until a line that starts with the same number followed by a space;
// every other reply is one line.
class ReplyAssembler {
public:
    ReplyAssembler() = default;
    virtual ~ReplyAssembler() = default;

    // True when this line completes the reply; the next line then starts a new one.
    bool Feed(std::string_view line);

private:
    bool inside_ = false;
    int code_ = 0;
};
