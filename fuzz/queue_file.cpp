// Loads arbitrary bytes as the send queue's file: every entry must be an absolute path that
// fits Linux and holds no line break, and what is loaded must be written back and load again
// unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "transfer/QueueFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const queue_file::Contents loaded = queue_file::Parse(text);
    size_t lines = 0;
    for (const std::string& entry : loaded.entries) {
        if (entry.size() > queue_file::kMaxEntry || entry.find('\n') != std::string::npos ||
            entry.empty() || entry.front() != '/')
            abort();
        lines += 1;
    }
    // Each line of the text is loaded or skipped, none is lost or made up.
    size_t breaks = 0;
    for (char c : text)
        breaks += c == '\n' ? 1 : 0;
    const size_t expected = breaks + (!text.empty() && text.back() != '\n' ? 1 : 0);
    if (lines + loaded.skipped + loaded.notPaths != expected)
        abort();
    const queue_file::Contents again = queue_file::Parse(queue_file::Format(loaded.entries));
    if (again.skipped != 0 || again.notPaths != 0 || again.entries != loaded.entries)
        abort();
    return 0;
}
