#pragma once

#include <string>
#include <string_view>
#include <vector>

// A path that a buddy sends for a file or a folder of a batch: names separated by '/', below
// the receive folder. These are the checks that keep every name of it inside that folder and
// off Zingwell's own files, before anything is created.
namespace relative_path {

inline constexpr size_t kMaxComponent = 255;
inline constexpr size_t kMaxDepth = 32;
inline constexpr size_t kMaxLength = 4095;

enum class Problem {
    None,
    Empty,             // no bytes at all, or an empty name between two '/'
    Absolute,          // starts with '/'
    DotName,           // "." or ".."
    Backslash,         // a '\', which another system would take as a separator
    Control,           // NUL or another control byte (below 0x20, or 0x7F)
    ComponentTooLong,  // a name over 255 bytes
    TooDeep,           // more than 32 names
    TooLong,           // more than 4095 bytes in all
    Reserved,          // one of our own files at the top, or our temporary files anywhere
};

// Splits `path` into its names when every check passes; otherwise leaves `components` empty
// and says what is wrong with it.
Problem Split(std::string_view path, std::vector<std::string>& components);

// Whether one name may stand at the given level (0 the top) of a path.
Problem CheckComponent(std::string_view name, size_t level);

// The path as a case-insensitive file system would compare it: letters in lower case
// (Unicode simple case mapping for UTF-8; bytes that are not valid UTF-8 stay as they are).
std::string FoldCase(std::string_view path);

// A short English text for the log and for a refusal sent back.
const char* Describe(Problem problem);

}  // namespace relative_path
