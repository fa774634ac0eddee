#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_set>

#include "transfer/BatchFrames.h"
#include "transfer/BatchPaths.h"
#include "transfer/PartHolder.h"

// Folders and files of one incoming batch, made below the receive folder without ever going
// through a link or a name that was not made by this batch: each path is opened one name at a
// time from the receive folder down (openat, O_NOFOLLOW). A dropped folder gets a new folder
// of its own (its name, else "name (2)", ...), so a batch never writes into what was there.
// Files are written under a temporary name in their folder and published under the next free
// name (`same.txt`, `same (2).txt`, ...): nothing is ever replaced. A loose file (in the receive
// folder itself) may instead carry on from a part a cut session kept there.
class SafeTree final : public PartHolder {
public:
    enum class Result {
        Ok,
        NoBatch,      // no Begin, or it failed
        BadPath,      // refused by relative_path::Split (see the path's problem)
        OutsideRoot,  // not below the batch's root, or below a folder in a batch of loose files
        CaseTwin,     // another path of the batch differs from it only in letter case
        Taken,        // the batch had this path already (a file, or a folder now sent as a file)
        ThroughFile,  // a folder on its way is a file of the batch
        Planted,      // a folder on its way is not one this batch made (a link, another file)
        OverBatch,    // more files, folders or bytes than the batch announced
        TooMany,      // a batch of more than 100,000 entries
        NoSpace,      // the receive folder's file system lacks room for the whole batch
        Failed,       // the file system refused (no permission, full, ...)
    };

    struct Limits {
        // Kept free beyond the batch's bytes, and counted for each entry's own blocks.
        uint64_t spareBytes = 8 << 20;
        uint64_t bytesPerEntry = 4096;
    };

    // `receiveFolder` is duplicated; the caller keeps its own descriptor.
    explicit SafeTree(int receiveFolder);
    SafeTree(int receiveFolder, Limits limits);
    SafeTree(const SafeTree&) = delete;
    SafeTree& operator=(const SafeTree&) = delete;
    // Discards a file not published; what was published or made stays.
    ~SafeTree();

    // Starts a batch: checks its size against the free space, then makes its root folder.
    Result Begin(const batch_frames::Batch& batch);
    // Makes a folder of the batch (and those on its way); a folder made before is fine.
    Result MakeFolder(std::string_view path);
    // Starts a file of `size` bytes under its temporary name, making the folders on its way.
    Result OpenFile(std::string_view path, uint64_t size);
    // False when no file is open, the bytes run past its size, or the write fails.
    bool Write(const char* data, size_t length);
    // Puts the whole file under the next free name; `stored` is its path below the receive
    // folder (the root and the name as they were kept). Anything else discards it.
    Result Publish(std::string& stored);
    // Removes the file being written, if any.
    void Discard() override;

    // Resuming a loose file, after OpenFile: the kept part `temporary` (no longer than the
    // file, not empty) takes the place of the new one. False, the new one kept, when it cannot.
    bool Adopt(const std::string& temporary) override;
    int Descriptor() const override { return fd_; }
    bool Restart() override;
    // A loose file only: the file goes under `keptName` in the receive folder, unpublished.
    bool Keep(const std::string& keptName) override;

    // The bytes of the batch's paths so far, every folder on their way counted once.
    size_t pathBytes() const { return paths_.bytes(); }
    // The name the batch's root folder got (empty for loose files).
    const std::string& root() const { return storedRoot_; }

    // `name (n).ext` (a folder's `name (n)`), cut to 255 bytes at a character boundary: the
    // names tried after `name`.
    static std::string NumberedName(std::string_view name, unsigned n, bool isFolder = false);
    static const char* Describe(Result result);

private:
    Result Place(std::string_view path, bool isFolder, std::vector<std::string>& inner);
    // Opens (and, for names first seen now, makes) the folders inner[0..count).
    Result OpenFolders(const std::vector<std::string>& inner, size_t count, int& fd);
    void EndBatch();

    int receive_ = -1;
    Limits limits_;
    bool started_ = false;
    batch_frames::Batch batch_;
    std::string storedRoot_;
    int base_ = -1;  // the root folder of the batch, or the receive folder for loose files
    BatchPaths paths_;
    std::unordered_set<std::string> made_;  // inner paths of the folders this batch made
    uint32_t files_ = 0;
    uint32_t folders_ = 0;
    uint64_t bytes_ = 0;

    int dir_ = -1;  // the open file's folder
    int fd_ = -1;
    std::string temporary_;
    std::string name_;
    std::string folderPath_;  // the open file's folder below the receive folder, with '/'
    uint64_t size_ = 0;
    uint64_t written_ = 0;
};
