#include "platform/HandOverMessage.h"

namespace {
constexpr std::string_view kHeader = "ZINGWELL-OPEN 1\n";
constexpr std::string_view kHeaderWithToken = "ZINGWELL-OPEN 2\n";
constexpr size_t kLongestPath = 4095;
constexpr size_t kLongestToken = 4095;

bool IsToken(std::string_view token) {
    if (token.empty() || token.size() > kLongestToken) {
        return false;
    }
    for (const char c : token) {
        if (c <= ' ' || c > '~') {
            return false;
        }
    }
    return true;
}
}  // namespace

std::string HandOverMessage::Encode(const std::vector<std::string>& paths,
                                    const std::string& activationToken) {
    // A token that could not be read back is not sent at all.
    std::string message(kHeader);
    if (IsToken(activationToken)) {
        message = std::string(kHeaderWithToken) + activationToken + "\n";
    }
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

std::optional<HandOverMessage::Request> HandOverMessage::DecodeRequest(std::string_view bytes) {
    Request request;
    std::string plain;
    if (bytes.substr(0, kHeaderWithToken.size()) == kHeaderWithToken) {
        bytes.remove_prefix(kHeaderWithToken.size());
        const size_t end = bytes.find('\n');
        if (end == std::string_view::npos || !IsToken(bytes.substr(0, end))) {
            return std::nullopt;
        }
        request.activationToken = bytes.substr(0, end);
        // The rest reads as the plain form's paths.
        plain = std::string(kHeader) + std::string(bytes.substr(end + 1));
        bytes = plain;
    }
    std::optional<std::vector<std::string>> paths = Decode(bytes);
    if (!paths) {
        return std::nullopt;
    }
    request.paths = std::move(*paths);
    return request;
}
