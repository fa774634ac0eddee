#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What of a dropped folder can be sent, listed when its batch starts (not when it is dropped,
// so the queue holds one path for it however big it is). Only regular files and folders go:
// links are never followed, and nothing on another file system is entered (a mount inside
// the folder, a network share or a pseudo file system whose sizes lie, may be huge or
// endless); those, special files, unreadable entries and names that cannot be sent are listed
// as skipped. At most 100,000 entries and 32 levels (the folder's own name the first);
// each folder's names in byte order, a folder before what it holds.
class FolderWalk {
public:
    enum class Skip {
        Unreadable,       // no permission, or it vanished while listed
        Link,             // a symbolic link, to anything
        Special,          // a device, FIFO or socket
        OtherFileSystem,  // a mount point inside the folder
        Name,             // a name or path relative_path refuses (control bytes, '\', ...)
        TooDeep,          // more than 32 levels
    };

    struct File {
        std::string path;  // relative, '/'-separated, the folder's name first
        uint64_t size = 0;
        int64_t modified = 0;  // seconds since 1970
    };
    struct Skipped {
        std::string path;
        Skip why;
    };
    struct Listing {
        bool ok = false;  // the folder could be opened and its name can be sent
        std::string root;
        std::vector<File> files;
        std::vector<std::string> folders;  // every folder below the root, empty ones included
        std::vector<Skipped> skipped;
        uint64_t totalBytes = 0;
        bool complete = true;  // false when the entry limit ended the walk early
    };

    static constexpr size_t kMaxEntries = 100000;

    static Listing Walk(const std::string& folder);

    // Opens a listed file for reading the same way it was listed: one name at a time below
    // `folder`, never through a link; -1 when it is no longer a regular file there.
    static int Open(const std::string& folder, const std::string& path);

    static const char* Describe(Skip why);
};
