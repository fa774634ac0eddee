// Reads arbitrary bytes as the known computers file: every computer taken from it must be one
// the file could hold, the file must be written back with every line it had (known or not),
// and what is written must read again unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "secure/TrustFile.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const TrustFile file = TrustFile::Parse(text);
    for (const TrustFile::Line& line : file.lines) {
        if (!line.entry)
            continue;
        const TrustEntry& entry = *line.entry;
        if (!TrustFile::ValidKey(entry.key) || TrustFile::ParseLine(line.text) != entry)
            abort();
        // A computer written anew reads back the same, its name included.
        const std::string written = TrustFile::FormatLine(entry);
        if (written.find('\n') != std::string::npos || TrustFile::ParseLine(written) != entry)
            abort();
    }
    if (!file.understood)
        return 0;
    const std::string formatted = file.Format();
    const TrustFile again = TrustFile::Parse(formatted);
    if (!again.understood || again.lines.size() != file.lines.size() || again.Format() != formatted)
        abort();
    for (size_t i = 0; i < file.lines.size(); ++i) {
        if (again.lines[i].text != file.lines[i].text ||
            again.lines[i].entry != file.lines[i].entry)
            abort();
    }
    return 0;
}
