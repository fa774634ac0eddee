#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "core/Capability.h"

// Reads one discovery datagram. The text is fields separated by '|' (empty fields vanish);
// only the first character of the first field says what it is: 'b' an announce (address,
// port and, from newer copies, what it offers), 'd' a leave. Anything from the network that does
// not fit is Ignored, never guessed.
class BeaconParser {
public:
    enum class Kind { Ignored, Announce, Leave };

    struct Beacon {
        Kind kind = Kind::Ignored;
        // Announce: dotted IPv4, at most kMaxAddress characters; Leave: the same, or empty
        // when the leave names no such address.
        std::string address;
        std::string port;  // Announce: decimal 1 to 65535, at most kMaxPort characters
        // Announce: the fourth field, when there is one that reads (see BeaconCapability).
        std::optional<Capability> capability;
    };

    // What a buddy's address and port texts may hold.
    static constexpr size_t kMaxAddress = 27;
    static constexpr size_t kMaxPort = 7;

    // The bytes up to the first NUL count; other copies handle the datagram as a C string.
    static Beacon Parse(const char* data, size_t length);

    static bool IsDottedAddress(const std::string& text);
    static bool IsPort(const std::string& text);
};
