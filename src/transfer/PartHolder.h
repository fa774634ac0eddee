#pragma once

#include <string>

// A file being received that can carry on from a part a cut session kept: the lone file of a
// session (ReceivedFile) or a loose file of a group (SafeTree). PartResume works through it.
class PartHolder {
public:
    // Takes over the kept part `temporary` in the receive folder, open and locked, written on
    // at its end. False when it cannot be had (gone, in use, not a plain file).
    virtual bool Adopt(const std::string& temporary) = 0;
    // The file being written (read for the hash of what it holds), or -1.
    virtual int Descriptor() const = 0;
    // Empties the file being written, to write it again from its start.
    virtual bool Restart() = 0;
    // Gives the file up without removing it, under `keptName` in the receive folder (replacing
    // a part kept there before); false, and the file removed, when that fails.
    virtual bool Keep(const std::string& keptName) = 0;
    // Removes the file being written.
    virtual void Discard() = 0;

protected:
    ~PartHolder() = default;
};
