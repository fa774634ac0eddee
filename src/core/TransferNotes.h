#pragma once

#include <string>

#include "core/IncomingBatch.h"

// What the six transfer events do not carry: which file an incoming connection brought and
// from whom, for telling the user. Raised on the receiving thread, just before the
// connection's last event.
class TransferNotes {
public:
    // A file arrived whole and now stands under `name` in the receive folder.
    virtual void FileReceived(const std::string& name, const std::string& peerAddress) = 0;
    // An incoming file failed and nothing of it was kept; `name` as its header gave it.
    virtual void ReceiveFailed(const std::string& name, const std::string& peerAddress) = 0;
    // The same for a file that came over a secure connection, with the sender's key hash (64
    // hex digits); unless overridden, told as the two above.
    virtual void SecureFileReceived(const std::string& name, const std::string& peerAddress,
                                    const std::string& /*peerKeyHash*/) {
        FileReceived(name, peerAddress);
    }
    virtual void SecureReceiveFailed(const std::string& name, const std::string& peerAddress,
                                     const std::string& /*peerKeyHash*/) {
        ReceiveFailed(name, peerAddress);
    }

    // A secure session's group of files. Started: its BATCH was read and nothing of it is made
    // yet (the place to ask the user about "a folder of 312 files, 1.2 GB"). Progress: bytes
    // came, or a file ended. Ended: the group is over (whole: every announced file came and
    // was kept).
    virtual void BatchStarted(const IncomingBatch& /*batch*/) {}
    virtual void BatchProgress(const IncomingBatch& /*batch*/) {}
    virtual void BatchEnded(const IncomingBatch& /*batch*/, bool /*whole*/) {}
    // A file of the group stands under `stored`; unless overridden, told as any secure file.
    virtual void BatchFileReceived(const IncomingBatch& batch, const std::string& stored) {
        SecureFileReceived(stored, batch.peerAddress, batch.peerKeyHash);
    }

protected:
    // Never deleted through this interface.
    ~TransferNotes() = default;
};
