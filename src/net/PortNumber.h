#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

// The one reader of port settings: decimal digits naming 1 to 65535. Blanks may lead and
// trail (typed and stored settings carry them); a sign, any other character, or a number
// out of range is no port, never a port cut down to 16 bits.
namespace net {

std::optional<uint16_t> ParsePort(std::string_view text);
// A port already held as a number: 1 to 65535.
std::optional<uint16_t> PortFromNumber(long long value);

}  // namespace net
