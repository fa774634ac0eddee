// Feeds the discovery datagram reader arbitrary bytes: it must never name a buddy it could
// not reach (an address that is not dotted IPv4, a port outside 1 to 65535), and what it
// reads must be what a copy announcing that buddy would send. What an announce offers (its
// fourth field) stays within its bounds and reads back as it is encoded again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "discovery/BeaconCapability.h"
#include "discovery/BeaconParser.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const BeaconParser::Beacon beacon = BeaconParser::Parse(text, size);
    if (beacon.kind != BeaconParser::Kind::Announce) {
        if (!beacon.port.empty() || beacon.capability)
            abort();
        if (beacon.kind == BeaconParser::Kind::Ignored && !beacon.address.empty())
            abort();
        if (!beacon.address.empty() && !BeaconParser::IsDottedAddress(beacon.address))
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
    std::string sent = "b|" + beacon.address + "|" + std::to_string(port);
    if (beacon.capability) {
        const Capability& offer = *beacon.capability;
        if (!offer.keyId.empty() && !BeaconCapability::IsKeyId(offer.keyId))
            abort();
        if (offer.name.size() > BeaconCapability::kMaxName)
            abort();
        sent += "|" + BeaconCapability::Encode(offer.keyId, offer.name);
    }
    if (sent.size() > 1023)
        abort();
    const BeaconParser::Beacon again = BeaconParser::Parse(sent.data(), sent.size());
    if (again.kind != BeaconParser::Kind::Announce || again.address != beacon.address ||
        atoi(again.port.c_str()) != port ||
        again.capability.has_value() != beacon.capability.has_value())
        abort();
    if (again.capability) {
        // The name may come back cut (to fit 96 encoded bytes), never changed.
        if (!again.capability->tls || again.capability->keyId != beacon.capability->keyId ||
            beacon.capability->name.compare(0, again.capability->name.size(),
                                            again.capability->name) != 0)
            abort();
    }
    return 0;
}
