#include "transfer/NotDeliveredList.h"

#include <algorithm>

#include "core/ActivityLog.h"
#include "core/ReceiveFolder.h"
#include "platform/AtomicFile.h"
#include "transfer/QueueFile.h"

NotDeliveredList::NotDeliveredList() : path_(GetReceiveFolder() + "/" + kFileName) {
    RemoveStaleTemporaries(path_);
    std::string text;
    if (!queue_file::Read(path_, text)) {
        return;
    }
    // The queue file's format: what cannot be an entry the user queued is left out.
    queue_file::Contents contents = queue_file::Parse(text);
    if (contents.skipped + contents.notPaths > 0) {
        WriteLog("NotDelivered.txt: skipped lines that are not paths\n");
    }
    entries_ = std::move(contents.entries);
}

void NotDeliveredList::Add(const std::string& path) {
    if (!queue_file::Storable(path)) {
        return;  // the queue never takes such a path
    }
    std::lock_guard<std::mutex> guard(mutex_);
    entries_.push_back(path);
    Save();
}

bool NotDeliveredList::Remove(const std::string& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    auto found = std::find(entries_.begin(), entries_.end(), path);
    if (found == entries_.end()) {
        return false;
    }
    entries_.erase(found);
    Save();
    return true;
}

std::vector<std::string> NotDeliveredList::Entries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return {entries_.begin(), entries_.end()};
}

size_t NotDeliveredList::Count() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return entries_.size();
}

void NotDeliveredList::Save() {
    // Replaced whole, as the queue file is: a crash leaves the old list or the new one.
    if (!WriteFileAtomically(path_, queue_file::Format(entries_), 0600)) {
        WriteLog("NotDelivered.txt: could not be written\n");
    }
}
