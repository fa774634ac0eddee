#pragma once

#include <string>

#include "transfer/PartHolder.h"
#include "transfer/ReceiveSession.h"

// The file an incoming connection writes in the receive folder. It is written under a
// temporary name of its own and takes its real name only when Publish is called, so that
// nothing but a whole file ever stands under a name a buddy sent, and a file that was there
// stays untouched until then. Whatever is not published is removed.
class ReceivedFile : public ReceiveSession::Target, public PartHolder {
public:
    explicit ReceivedFile(std::string folder) : folder_(std::move(folder)) {}
    ReceivedFile(const ReceivedFile&) = delete;
    ReceivedFile& operator=(const ReceivedFile&) = delete;
    virtual ~ReceivedFile();

    // Logs "Incoming file: " and the name.
    void Announce(const std::string& name) override;
    // Starts the temporary file.
    bool Create(const std::string& name) override;
    bool Write(const char* data, size_t length) override;
    // Puts the file under its name, or, when anything stands there (a file, a link, a
    // folder), under the first free name of "name (2).ext", "name (3).ext" ...; never
    // replaces an entry. False, and nothing changed, when that fails.
    bool Publish();
    // The name the file was published under; empty before.
    const std::string& StoredName() const { return stored_; }

    // The name for the n-th arrival of `name` (n >= 2): " (n)" before the extension, the
    // stem shortened so that the whole stays within 255 bytes.
    static std::string NumberedName(const std::string& name, int n);
    // Removes the temporary file; nothing else changes.
    void Discard() override;

    // Resuming: takes over the temporary file `temporary` in the folder (a part kept
    // earlier), open and locked, written on at its end; the next Create then names it
    // instead of starting another. False when it cannot be had (gone, or in use).
    bool Adopt(const std::string& temporary) override;
    // The file being written (for the hash of what it holds), or -1.
    int Descriptor() const override { return fd_; }
    // Empties the file being written, to write it again from its start.
    bool Restart() override;
    // Gives the file up without removing it, under `keptName` in the folder (replacing a
    // part kept there before); false, and the file removed, when that fails.
    bool Keep(const std::string& keptName) override;

    // Removes temporary files that a receiver which ended without cleaning up left in the
    // folder; those another receiver is still writing are left alone.
    static void RemoveStale(const std::string& folder);

private:
    std::string folder_;
    int dir_ = -1;
    int fd_ = -1;
    std::string name_;
    std::string temporary_;
    std::string stored_;
    bool adopted_ = false;  // the next Create names an adopted file
};
