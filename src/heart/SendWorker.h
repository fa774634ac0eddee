#pragma once

#include <string>

#include "core/BatchNotes.h"
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
    // Every queued entry in one secure session, pulled from the notes as it goes; false when
    // this sender cannot (then the heart sends entry by entry) or one runs.
    virtual void SetBatchNotes(BatchNotes* /*notes*/) {}
    virtual bool SendBatch(const std::string& /*address*/, const std::string& /*port*/,
                           const SecurePeer& /*peer*/) {
        return false;
    }
    // Cuts the running transfer off; it raises no more events once this returns. Not from
    // inside one of its events.
    virtual void Cancel() {}
    // True until just before the running transfer's last event.
    virtual bool Busy() const = 0;
};
