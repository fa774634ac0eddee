#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

// Files taken off the send queue because the buddy would not take them: kept, one path a
// line, in "NotDelivered.txt" beside the queue file, until the user sends them again or
// forgets them. Any thread.
class NotDeliveredList {
public:
    static constexpr const char* kFileName = "NotDelivered.txt";

    // Loads the list from its file in the receive folder.
    NotDeliveredList();
    NotDeliveredList(const NotDeliveredList&) = delete;
    NotDeliveredList& operator=(const NotDeliveredList&) = delete;

    void Add(const std::string& path);
    // Takes the first entry equal to path off the list; false when there is none.
    bool Remove(const std::string& path);
    std::vector<std::string> Entries() const;
    size_t Count() const;

private:
    void Save();  // under mutex_

    std::string path_;
    mutable std::mutex mutex_;
    std::deque<std::string> entries_;  // guarded by mutex_
};
