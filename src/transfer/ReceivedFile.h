#pragma once

#include <string>

#include "transfer/ReceiveSession.h"

// The file an incoming connection writes in the receive folder. It is written under a
// temporary name of its own and takes its real name only when Publish is called, so that
// nothing but a whole file ever stands under a name a buddy sent, and a file that was there
// stays untouched until then. Whatever is not published is removed.
class ReceivedFile : public ReceiveSession::Target {
public:
    explicit ReceivedFile(std::string folder) : folder_(std::move(folder)) {}
    ReceivedFile(const ReceivedFile&) = delete;
    ReceivedFile& operator=(const ReceivedFile&) = delete;
    virtual ~ReceivedFile();

    // Logs "Incoming file: " and the name.
    void Announce(const std::string& name) override;
    // Starts the temporary file. Refuses a name that is taken by a folder.
    bool Create(const std::string& name) override;
    bool Write(const char* data, size_t length) override;
    // Puts the file under its name, replacing whatever stood there (a file, a link: the link
    // itself, never what it points to). False, and nothing changed, when that fails.
    bool Publish();
    // Removes the temporary file; nothing else changes.
    void Discard();

    // Removes temporary files that a receiver which ended without cleaning up left in the
    // folder; those another receiver is still writing are left alone.
    static void RemoveStale(const std::string& folder);

private:
    std::string folder_;
    int dir_ = -1;
    int fd_ = -1;
    std::string name_;
    std::string temporary_;
};
