#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

// The send queue's file: one path a line, each ended by CR LF, nothing else.
namespace queue_file {

inline constexpr const char* kFileName = "Files2Send.txt";
// The longest entry that loads: a Linux path runs to 4095 bytes.
inline constexpr size_t kMaxEntry = 4095;

struct Contents {
    std::deque<std::string> entries;
    size_t skipped = 0;  // lines longer than kMaxEntry, left out
};

// Lines end at LF; a CR just before the LF is not part of the entry. A last line without a
// line end counts like the others. A line that is too long is skipped on its own.
Contents Parse(std::string_view text);

// Every entry followed by CR LF.
std::string Format(const std::deque<std::string>& entries);

}  // namespace queue_file
