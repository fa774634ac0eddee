#include "transfer/QueueFile.h"

namespace queue_file {

Contents Parse(std::string_view text) {
    Contents result;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (end != std::string_view::npos && !line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (line.size() > kMaxEntry) {
            ++result.skipped;
            continue;
        }
        result.entries.emplace_back(line);
    }
    return result;
}

std::string Format(const std::deque<std::string>& entries) {
    std::string text;
    for (const std::string& entry : entries) {
        text += entry;
        text += "\r\n";
    }
    return text;
}

}  // namespace queue_file
