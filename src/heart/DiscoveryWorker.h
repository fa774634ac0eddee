#pragma once

#include <optional>

#include "core/BeaconNotes.h"
#include "core/Capability.h"

// Buddy discovery, as the drop window uses it.
class DiscoveryWorker {
public:
    virtual ~DiscoveryWorker() = default;
    // Before StartReceiver. Workers that hear nothing need neither.
    virtual void SetNotes(BeaconNotes* /*notes*/) {}
    virtual void SetCapability(std::optional<Capability> /*capability*/) {}
    virtual void StartReceiver() = 0;
    virtual void SendBeacon(int port) = 0;
    virtual void AnnounceShutdown() = 0;
    virtual bool buddyKnown() const = 0;
};
