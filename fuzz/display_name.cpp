// Shows arbitrary bytes as a name (the first byte is the length allowed): what comes out must
// be shown again unchanged, so nothing that DisplayName replaces or collapses is left in it,
// and must hold no more characters than allowed.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "core/DisplayName.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    const size_t maxChars = data[0];
    const std::string_view name(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string shown = DisplayName(name, maxChars);
    if (DisplayName(shown, maxChars) != shown)
        abort();
    size_t characters = 0;
    for (char c : shown)
        characters += (static_cast<unsigned char>(c) & 0xC0) != 0x80 ? 1 : 0;
    if (characters > maxChars)
        abort();
    return 0;
}
