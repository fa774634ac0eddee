#include "transfer/WireFormat.h"

namespace wire {

std::string_view NameFromPath(std::string_view path) {
    const size_t last = path.find_last_of("/\\");
    return last == std::string_view::npos ? path : path.substr(last + 1);
}

std::string EncodeHeader(std::string_view name, uint64_t size) {
    std::string header(name);
    header.push_back(kSeparator);
    for (size_t i = 0; i < kSizeBytes; ++i) {
        header.push_back(static_cast<char>((size >> (8 * i)) & 0xFF));
    }
    return header;
}

}  // namespace wire
