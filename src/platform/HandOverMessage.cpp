#include "platform/HandOverMessage.h"

namespace {
constexpr std::string_view kHeader = "ZINGWELL-OPEN 1\n";
constexpr size_t kLongestPath = 4095;
}  // namespace

std::string HandOverMessage::Encode(const std::vector<std::string>& paths) {
    std::string message(kHeader);
    for (const std::string& path : paths) {
        message += path;
        message += '\0';
    }
    return message;
}

std::optional<std::vector<std::string>> HandOverMessage::Decode(std::string_view bytes) {
    if (bytes.substr(0, kHeader.size()) != kHeader) {
        return std::nullopt;
    }
    bytes.remove_prefix(kHeader.size());
    std::vector<std::string> paths;
    while (!bytes.empty()) {
        const size_t end = bytes.find('\0');
        if (end == std::string_view::npos || end == 0 || end > kLongestPath || bytes[0] != '/') {
            return std::nullopt;
        }
        paths.emplace_back(bytes.substr(0, end));
        bytes.remove_prefix(end + 1);
    }
    return paths;
}
