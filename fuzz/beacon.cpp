// Feeds the discovery datagram reader arbitrary bytes: it must never name a buddy it could
// not reach (an address that is not dotted IPv4, a port outside 1 to 65535), and what it
// reads must be what a copy announcing that buddy would send.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "discovery/BeaconParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const BeaconParser::Beacon beacon = BeaconParser::Parse(text, size);
    if (beacon.kind != BeaconParser::Kind::Announce) {
        if (!beacon.address.empty() || !beacon.port.empty())
            abort();
        return 0;
    }
    if (!BeaconParser::IsDottedAddress(beacon.address) || !BeaconParser::IsPort(beacon.port))
        abort();
    if (beacon.address.size() > BeaconParser::kMaxAddress ||
        beacon.port.size() > BeaconParser::kMaxPort)
        abort();
    const int port = atoi(beacon.port.c_str());
    if (port < 1 || port > 65535)
        abort();
    const std::string sent = "b|" + beacon.address + "|" + std::to_string(port);
    const BeaconParser::Beacon again = BeaconParser::Parse(sent.data(), sent.size());
    if (again.kind != BeaconParser::Kind::Announce || again.address != beacon.address ||
        atoi(again.port.c_str()) != port)
        abort();
    return 0;
}
