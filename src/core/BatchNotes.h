#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// A secure session that carries several queue entries (files and folders), told entry by
// entry, so that each leaves the queue as the buddy acknowledges it. The sender pulls the
// entries from the owner as it goes; every call comes on the sending thread, before the
// session's last Callback event.
class BatchNotes {
public:
    enum class EntryEnd {
        Delivered,   // every file of it stands under its name there (detail: refused files)
        Refused,     // the buddy refused the file; detail says why, in its words
        CannotOpen,  // a file that cannot be read; a folder that cannot be listed ("folder")
    };
    struct Progress {
        size_t filesDone = 0;   // acknowledged (or refused) in this session
        size_t filesKnown = 0;  // those, and the files of the group under way
        uint64_t bytesDone = 0;
        uint64_t bytesKnown = 0;
        size_t entriesThrough = 0;  // the session's entries up to the end of the group under way
    };

    // The entry `index` places into the session (0: the queue's head when it started, the
    // ended ones counted); false when there is none.
    virtual bool BatchEntry(size_t index, std::string& path) = 0;
    // Its files go now: a failure of the session from here is this entry's failure.
    virtual void BatchEntryStarted(size_t index) = 0;
    virtual void BatchEntryEnded(size_t index, EntryEnd end, const std::string& detail) = 0;
    // What a folder leaves out (links, unreadable files ...), one line each, before its files.
    virtual void BatchSkipped(size_t index, const std::vector<std::string>& lines) = 0;
    virtual void BatchProgressed(const Progress& progress) = 0;

protected:
    // Never deleted through this interface.
    ~BatchNotes() = default;
};
