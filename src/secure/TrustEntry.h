#pragma once

#include <string>
#include <string_view>

// One known computer of the `computers` file.
struct TrustEntry {
    enum class State { Paired, Blocked, Allowed };

    // "k:" and the 64 hex digits of its key hash, or "a:" and an IPv4 address (a plain peer).
    std::string key;
    State state = State::Allowed;
    // The address it was last seen at (dotted IPv4), may be empty.
    std::string lastAddress;
    // Its display name, as the user sees it (stored percent-encoded).
    std::string name;

    static std::string KeyForHash(std::string_view hash) { return "k:" + std::string(hash); }
    static std::string KeyForAddress(std::string_view address) {
        return "a:" + std::string(address);
    }

    bool operator==(const TrustEntry&) const = default;
};
