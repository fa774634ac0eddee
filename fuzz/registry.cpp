// Feeds the registry file parser arbitrary text; whatever it keeps must survive a round trip.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "platform/RegistryDocument.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    RegistryDocument first = RegistryDocument::Parse(text, "HKEY_CURRENT_USER");
    const std::string written = first.Serialize();
    RegistryDocument second = RegistryDocument::Parse(written, "HKEY_CURRENT_USER");
    if (second.Serialize() != written) {
        abort();
    }
    return 0;
}
