#pragma once

#include <string>

#include "transfer/NamesInUse.h"
#include "transfer/ReceiveSession.h"

// The file an incoming connection writes in the receive folder.
class ReceivedFile : public ReceiveSession::Target {
public:
    ReceivedFile(std::string folder, NamesInUse& names)
        : folder_(std::move(folder)), names_(names) {}
    ReceivedFile(const ReceivedFile&) = delete;
    ReceivedFile& operator=(const ReceivedFile&) = delete;
    virtual ~ReceivedFile() { Close(); }

    // Logs "Incoming file: " and the name.
    void Announce(const std::string& name) override;
    // Waits while another connection writes that name; replaces an existing plain file, but
    // never follows a symbolic link and never opens anything but a plain file.
    bool Create(const std::string& name) override;
    bool Write(const char* data, size_t length) override;
    // Closes the file (what was written stays) and lets a waiting connection have the name.
    void Close();

private:
    std::string folder_;
    NamesInUse& names_;
    std::string claimed_;
    bool haveClaim_ = false;
    int fd_ = -1;
};
