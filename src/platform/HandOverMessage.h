#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// What a second start of Zingwell tells the running copy: the absolute paths of the files to
// queue (none: only bring the dog forward). Paths are bytes, passed unconverted.
//   "ZINGWELL-OPEN 1\n" then each path followed by one NUL byte
// With the start's activation token (Wayland lets only its holder bring a window forward):
//   "ZINGWELL-OPEN 2\n" then the token (printable ASCII) and "\n", then the paths as above
class HandOverMessage {
public:
    struct Request {
        std::vector<std::string> paths;
        std::string activationToken;
        bool operator==(const Request&) const = default;
    };

    static std::string Encode(const std::vector<std::string>& paths,
                              const std::string& activationToken = "");
    // Either form; nothing unless it is whole and well formed.
    static std::optional<Request> DecodeRequest(std::string_view bytes);
    // Nothing unless the whole message is well formed: the header, then absolute paths of at
    // most 4095 bytes, each ended by NUL.
    static std::optional<std::vector<std::string>> Decode(std::string_view bytes);
};
