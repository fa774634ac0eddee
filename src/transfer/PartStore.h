#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The parts of files a cut secure session left in the receive folder, kept so that the same
// file from the same key can go on where it stopped. A part is a temporary file named after
// what it is a part of (`.zingwell-incoming.tmp-` and 16 hex digits of a hash of the sender's
// key, the path, size and modification time), beside a small record of those fields, the
// bytes it held and when it was kept (the same name and `.part`). Both carry the temporary
// prefix, so no listing, no sender's name and no other file rule ever sees them. Parts go
// after 24 hours, and the oldest first when the disk has no room for a new file.
class PartStore {
public:
    static constexpr int64_t kMaxAgeSeconds = 24 * 60 * 60;
    static constexpr std::string_view kRecordSuffix = ".part";

    struct Key {
        std::string keyHash;  // the sender's
        std::string path;
        uint64_t size = 0;
        int64_t mtime = 0;
        bool operator==(const Key&) const = default;
    };

    explicit PartStore(std::string folder) : folder_(std::move(folder)) {}

    // The temporary name a part of key's file is kept under (held or not).
    static std::string NameFor(const Key& key);
    // The name of the part held for key, when its record says so and is younger than the
    // maximum age at `now` (seconds since 1970).
    std::optional<std::string> Find(const Key& key, int64_t now) const;
    // Forgets the record of a part: its data now belongs to whoever opened it.
    void Forget(const std::string& name) const;
    // Removes a part and its record unless a connection has the part open.
    void Remove(const std::string& name) const;
    // Records that the file `name` (in the folder, under NameFor(key)) holds `held` bytes.
    bool Record(const std::string& name, const Key& key, uint64_t held, int64_t now) const;
    // Removes parts kept longer than the maximum age before now, records whose part is gone
    // and parts whose record is unreadable. Parts another connection has open stay.
    void Clean(int64_t now) const;
    // Drops the oldest parts (never `spare`) until the folder has `needed` bytes free;
    // whether it has them then.
    bool MakeRoom(uint64_t needed, const std::string& spare) const;
    // Whether a temporary name in the folder belongs to a kept part (its data or its record),
    // which a receiver starting up must leave to Clean.
    static bool IsKept(int dir, std::string_view name);

private:
    struct Entry {
        std::string name;
        Key key;
        uint64_t held = 0;
        int64_t kept = 0;
    };
    std::optional<Entry> Read(int dir, const std::string& name) const;
    std::vector<std::string> Names() const;
    // Removes a part and its record unless someone has the part open.
    void Drop(int dir, const std::string& name) const;

    std::string folder_;
};
