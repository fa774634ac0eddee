#include "discovery/BeaconParser.h"

#include "discovery/BeaconCapability.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

// The next non-empty run of characters between separators, from `at` on.
bool NextField(const char* text, size_t length, size_t& at, std::string& field) {
    while (at < length && text[at] == '|') {
        ++at;
    }
    if (at == length) {
        return false;
    }
    const size_t start = at;
    while (at < length && text[at] != '|') {
        ++at;
    }
    field.assign(text + start, at - start);
    return true;
}

}  // namespace

bool BeaconParser::IsDottedAddress(const std::string& text) {
    in_addr parsed{};
    return text.size() <= kMaxAddress && inet_pton(AF_INET, text.c_str(), &parsed) == 1;
}

bool BeaconParser::IsPort(const std::string& text) {
    if (text.empty() || text.size() > kMaxPort) {
        return false;
    }
    long value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') {
            return false;
        }
        value = value * 10 + (c - '0');
    }
    return value >= 1 && value <= 65535;
}

BeaconParser::Beacon BeaconParser::Parse(const char* data, size_t length) {
    Beacon beacon;
    if (data == nullptr) {
        return beacon;
    }
    const void* nul = memchr(data, '\0', length);
    if (nul != nullptr) {
        length = static_cast<size_t>(static_cast<const char*>(nul) - data);
    }
    size_t at = 0;
    std::string kind;
    if (!NextField(data, length, at, kind)) {
        return beacon;
    }
    if (kind[0] == 'd') {
        // Whose leave it is, is for the owner to judge, against where it came from.
        beacon.kind = Kind::Leave;
        std::string address;
        if (NextField(data, length, at, address) && IsDottedAddress(address)) {
            beacon.address = std::move(address);
        }
        return beacon;
    }
    if (kind[0] != 'b') {
        return beacon;
    }
    std::string address;
    std::string port;
    if (!NextField(data, length, at, address) || !NextField(data, length, at, port)) {
        return beacon;
    }
    // A buddy set to garbage or to port 0 would take our files nowhere.
    if (!IsDottedAddress(address) || !IsPort(port)) {
        return beacon;
    }
    beacon.kind = Kind::Announce;
    beacon.address = std::move(address);
    beacon.port = std::move(port);
    // A fourth field that does not read leaves the announce as good as a plain one.
    std::string offer;
    if (NextField(data, length, at, offer)) {
        beacon.capability = BeaconCapability::Decode(offer);
    }
    return beacon;
}
