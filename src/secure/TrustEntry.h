#pragma once

#include <string>
#include <string_view>

// One known computer of the `computers` file.
struct TrustEntry {
    // Known: no decision on its files (a computer remembered only for sending).
    enum class State { Paired, Blocked, Allowed, Known };
    // Whether queued files may go to it when discovery finds it (paired ones always may).
    enum class Sending { Unasked, Confirmed, Refused };

    // "k:" and the 64 hex digits of its key hash, "i:" and the 16 of a key id (an announced
    // key it was never connected to), or "a:" and an IPv4 address (a plain peer).
    std::string key;
    State state = State::Allowed;
    // The address it was last seen at (dotted IPv4), may be empty.
    std::string lastAddress;
    // Its display name, as the user sees it (stored percent-encoded).
    std::string name;
    Sending sending = Sending::Unasked;

    static std::string KeyForHash(std::string_view hash) { return "k:" + std::string(hash); }
    static std::string KeyForAddress(std::string_view address) {
        return "a:" + std::string(address);
    }
    static std::string KeyForKeyId(std::string_view keyId) { return "i:" + std::string(keyId); }

    // As the lists show it: the state (a computer known only for sending is still a
    // "stranger" to its files), whether files are sent to it once asked, and how little an
    // unpaired entry proves.
    std::string Describe() const {
        std::string text = state == State::Paired    ? "paired"
                           : state == State::Blocked ? "blocked"
                           : state == State::Known   ? "stranger"
                                                     : "allowed";
        if (sending != Sending::Unasked) {
            text += sending == Sending::Confirmed ? ", sent to" : ", not sent to";
        }
        if (state != State::Paired) {
            // Only a pairing checks who is behind a key; an address proves even less.
            text += key.rfind("a:", 0) == 0 ? " (by address only)" : " (not verified)";
        }
        return text;
    }

    bool operator==(const TrustEntry&) const = default;
};
