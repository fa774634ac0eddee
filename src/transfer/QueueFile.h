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
    size_t skipped = 0;   // lines longer than kMaxEntry, left out
    size_t notPaths = 0;  // lines that are not absolute paths (blank ones too), left out
};

// Lines end at LF; a CR just before the LF is not part of the entry. A last line without a
// line end counts like the others. A line that is too long, or that is not an absolute
// path (a line break written inside a path would make one), is skipped on its own.
Contents Parse(std::string_view text);

// A path the file can hold as one line: it must not carry a line break of its own.
bool Storable(std::string_view path);

// The whole file at path, or false when there is none or it is not a plain file we can read.
bool Read(const std::string& path, std::string& text);

// Every entry followed by CR LF.
std::string Format(const std::deque<std::string>& entries);

}  // namespace queue_file
