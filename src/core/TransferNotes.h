#pragma once

#include <string>

// What the six transfer events do not carry: which file an incoming connection brought and
// from whom, for telling the user. Raised on the receiving thread, just before the
// connection's last event.
class TransferNotes {
public:
    // A file arrived whole and now stands under `name` in the receive folder.
    virtual void FileReceived(const std::string& name, const std::string& peerAddress) = 0;
    // An incoming file failed and nothing of it was kept; `name` as its header gave it.
    virtual void ReceiveFailed(const std::string& name, const std::string& peerAddress) = 0;

protected:
    // Never deleted through this interface.
    ~TransferNotes() = default;
};
