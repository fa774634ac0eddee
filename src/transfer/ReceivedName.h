#pragma once

#include <string>
#include <string_view>

// Names that buddies send are stored in the receive folder as they are, bytes unconverted;
// these are the checks that keep them inside it and off Zingwell's own files.
namespace received_name {

inline constexpr size_t kMaxLength = 255;
// Incoming files are written under names that start with this until they are whole.
inline constexpr std::string_view kTemporaryPrefix = ".zingwell-incoming.tmp-";

// False for a name that is empty, "." or "..", holds '/', a NUL or another control byte
// (below 0x20, or 0x7F), is longer than 255 bytes, or names one of our own files there
// (the send queue, the activity log and its older generation, a temporary file of their rewrites,
// or a file still being received).
bool IsAcceptable(std::string_view name);

// The name as the activity log shows it: DisplayName of at most 255 characters.
std::string ForLog(std::string_view name);

}  // namespace received_name
