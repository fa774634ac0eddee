#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "secure/TrustEntry.h"
#include "secure/TrustFile.h"

// The known computers, kept in the `computers` file (0600, replaced atomically after every
// change). Safe from any thread.
class TrustStore {
public:
    // The file in folder (see IdentityFolder()); nothing is read until Reload().
    explicit TrustStore(std::string folder);

    // Reads the file again; a missing file is an empty store. False with error text when it
    // cannot be read or is not ours (then it is never rewritten).
    bool Reload(std::string& error);

    std::optional<TrustEntry> Find(const std::string& key) const;
    // The paired computer last seen at this address, if any.
    std::optional<TrustEntry> PairedForAddress(const std::string& address) const;
    std::vector<TrustEntry> All() const;
    bool HasPaired() const;

    // Adds or replaces the entry of entry.key and writes the file; false when it cannot be
    // written (the change then lives in memory only).
    bool Put(const TrustEntry& entry);
    // Replaces the entry of key with what change makes of the one known (null: none) in one
    // step, so that no other change comes between; change returns nothing to leave it.
    bool Update(const std::string& key,
                const std::function<std::optional<TrustEntry>(const TrustEntry* known)>& change);
    // Removes the entry of key and writes the file.
    bool Forget(const std::string& key);

    const std::string& path() const { return path_; }

private:
    bool Save();

    mutable std::mutex mutex_;
    std::string folder_;
    std::string path_;
    TrustFile file_;
};
