#pragma once

// Buddy discovery, as the drop window uses it.
class DiscoveryWorker {
public:
    virtual ~DiscoveryWorker() = default;
    virtual void StartReceiver() = 0;
    virtual void SendBeacon(int port) = 0;
    virtual void AnnounceShutdown() = 0;
    virtual bool buddyKnown() const = 0;
};
