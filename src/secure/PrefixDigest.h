#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <optional>
#include <string_view>

// The SHA-256 of a file's first bytes, read in one pass with pread (the file's position is
// left where it was), so that two copies can tell whether they hold the same prefix.
namespace prefix_digest {

using Digest = std::array<uint8_t, 32>;

// Nothing when the file is shorter than length or cannot be read, or once *stop is set.
std::optional<Digest> Of(int fd, uint64_t length, const std::atomic<bool>* stop = nullptr);
// The SHA-256 of some bytes in memory.
Digest OfText(std::string_view text);

}  // namespace prefix_digest
