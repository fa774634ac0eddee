#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a second start of Zingwell tells the running copy: the absolute paths of the files to
// queue (none: only bring the dog forward). Paths are bytes, passed unconverted.
//   "ZINGWELL-OPEN 1\n" then each path followed by one NUL byte
class HandOverMessage {
public:
    static std::string Encode(const std::vector<std::string>& paths);
    // Nothing unless the whole message is well formed: the header, then absolute paths of at
    // most 4095 bytes, each ended by NUL.
    static std::optional<std::vector<std::string>> Decode(std::string_view bytes);
};
