#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

// The frames of the secure session that carry many files and folders at once, and a resumed
// file's check (docs/PROTOCOL.md, "Several files and folders"). Each frame is
// type (1) | length (4, big-endian) | payload, like every frame of the session. Encoders give
// the whole frame, or an empty string for a value that cannot be sent; decoders take the
// payload alone and accept exactly the bytes their encoder writes.
namespace batch_frames {

inline constexpr uint8_t kBatch = 0x13;
inline constexpr uint8_t kFolder = 0x14;
inline constexpr uint8_t kPrefixHash = 0x15;
inline constexpr uint8_t kResume = 0x16;

inline constexpr size_t kHeaderSize = 5;
inline constexpr uint32_t kMaxPayload = 65536;
inline constexpr size_t kMaxRoot = 255;
inline constexpr size_t kMaxPath = 4095;
// More files or folders than this in one batch are refused before anything is created.
inline constexpr uint32_t kMaxEntries = 100000;

struct Batch {
    uint32_t files = 0;
    uint32_t folders = 0;     // FOLDER frames to come: every folder below the root
    uint64_t totalBytes = 0;  // the sizes of all its files
    std::string root;         // the dropped folder's name; empty for loose files
    bool operator==(const Batch&) const = default;
};

struct PrefixHash {
    uint64_t offset = 0;
    std::array<uint8_t, 32> sha256{};  // of the file's first `offset` bytes
    bool operator==(const PrefixHash&) const = default;
};

std::string EncodeBatch(const Batch& batch);
std::string EncodeFolder(std::string_view path);
std::string EncodePrefixHash(const PrefixHash& hash);
std::string EncodeResume(uint64_t offset);

bool DecodeBatch(std::string_view payload, Batch& batch);
bool DecodeFolder(std::string_view payload, std::string& path);
bool DecodePrefixHash(std::string_view payload, PrefixHash& hash);
bool DecodeResume(std::string_view payload, uint64_t& offset);

enum class Header { NeedMore, Whole, TooLong };
// The frame header at the start of `bytes`: Whole with its type and payload length, NeedMore
// when fewer than 5 bytes are there, TooLong for a length over kMaxPayload.
Header ReadHeader(std::string_view bytes, uint8_t& type, uint32_t& length);

}  // namespace batch_frames
