#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <deque>
#include <string>
#include <vector>

// The send queue: paths waiting to be sent, in order, kept in "Files2Send.txt" in the receive
// folder so that they survive a restart. Every operation but Count holds the process-wide
// Lock for its list and file work only.
class FileStorage {
public:
    FileStorage();  // loads the queue file under Lock
    FileStorage(const FileStorage&) = delete;
    FileStorage& operator=(const FileStorage&) = delete;
    virtual ~FileStorage();

    // False, queuing nothing (and logging it), for a path the file could not keep as one
    // line: one holding a line break.
    bool Add(const std::string& path);
    // Adds every storable path in order with one rewrite of the file, so that a drop of many
    // files is one write; returns the paths refused as Add refuses them.
    std::vector<std::string> AddAll(const std::vector<std::string>& paths);
    // False (path untouched) when the queue is empty.
    bool Front(std::string& path);
    void RemoveFront();
    // The same for an entry of a batch: files acknowledged many a second would otherwise mean
    // as many rewrites. The file is rewritten at once when the last rewrite is kKeepFor old,
    // else by the next change or Flush.
    void RemoveFrontSoon();
    void Flush();
    static constexpr std::chrono::milliseconds kKeepFor{200};
    // The entry `index` places behind the head; false when the queue is shorter.
    bool At(size_t index, std::string& path);
    // The head replaced by `paths` (a folder by its files), in one rewrite.
    void ReplaceFront(const std::vector<std::string>& paths);
    void Clear();
    // Safe without the lock.
    size_t Count() const;

    const std::string& FilePath() const { return path_; }

private:
    // Rewrites the file from the entries; runs inside its caller's Lock.
    void Save();

    std::string path_;
    std::deque<std::string> entries_;
    std::atomic<size_t> count_{0};
    bool dirty_ = false;  // the file lags behind the entries; under Lock, as the field below
    std::chrono::steady_clock::time_point saved_;
};
