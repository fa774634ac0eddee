#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// One file per TCP connection: the name, the byte 0x5C, the size as eight bytes least
// significant first, then the body until the sender half-closes.
namespace wire {

inline constexpr char kSeparator = '\\';
inline constexpr size_t kSizeBytes = 8;
// Pieces of the body, and the most a header may take before its separator.
inline constexpr size_t kPieceSize = 102400;

// The name a sender puts on the wire: the part of the path after its last '/' or '\'.
std::string_view NameFromPath(std::string_view path);

// The whole header: name, separator, size.
std::string EncodeHeader(std::string_view name, uint64_t size);

}  // namespace wire
