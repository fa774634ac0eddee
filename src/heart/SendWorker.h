#pragma once

#include <string>

#include "core/Callback.h"
#include "core/SendNotes.h"
#include "transfer/SecurePeer.h"

// The sender, as the drop window uses it.
class SendWorker {
public:
    virtual ~SendWorker() = default;
    virtual void SetCallback(Callback* callback) = 0;
    // How secure sends ended, told just before their last event.
    virtual void SetSendNotes(SendNotes* notes) = 0;
    // False, changing nothing, while a transfer runs.
    virtual bool SendFile(const std::string& address, const std::string& port,
                          const std::string& path) = 0;
    // The same over TLS, to the key `peer` names only.
    virtual bool SendSecure(const std::string& address, const std::string& port,
                            const std::string& path, const SecurePeer& peer) = 0;
    // True until just before the running transfer's last event.
    virtual bool Busy() const = 0;
};
