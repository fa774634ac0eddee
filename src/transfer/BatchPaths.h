#pragma once

#include <string>
#include <unordered_map>
#include <vector>

// The names one batch has used so far, as a case-insensitive file system would see them, so
// that no later entry of the batch can land on or through an earlier one: two paths that
// differ only in letter case are one path (the second refused), and a file is never a folder
// for a later path (a file `a`, then `a/b`).
class BatchPaths {
public:
    enum class Verdict {
        New,          // not seen before: the caller creates it
        Again,        // a folder seen before under exactly these bytes: nothing to do
        CaseTwin,     // a name of it was seen before in other letter case
        Taken,        // the same path was a file, or is a folder and now a file
        ThroughFile,  // a folder on its way is a file of the batch
    };

    // Checks a split path (relative_path::Split) and, when it is New or Again, records it
    // and the folders on its way.
    Verdict Add(const std::vector<std::string>& components, bool isFolder);

    // Paths recorded, the folders on the way of files included.
    size_t size() const { return entries_.size(); }
    // Their bytes, each path counted once (what the batch's memory grows with).
    size_t bytes() const { return bytes_; }

private:
    struct Entry {
        std::string exact;
        bool isFolder;
    };
    std::unordered_map<std::string, Entry> entries_;  // by folded path
    size_t bytes_ = 0;
};
