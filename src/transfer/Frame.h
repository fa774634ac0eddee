#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "transfer/BatchFrames.h"

// The frames of a secure session (inside TLS): a type byte, a four-byte length, then the
// payload. Encoders for every type, and the checks that turn a payload into a message.
namespace frame {

enum class Type : uint8_t {
    Hello = 0x01,
    File = 0x10,
    Verdict = 0x11,
    Ack = 0x12,
    Batch = 0x13,
    Folder = 0x14,
    PrefixHash = 0x15,
    Resume = 0x16,
    PairCommit = 0x20,
    PairNonce = 0x21,
    PairReveal = 0x22,
    PairConfirm = 0x23,
    End = 0x7F,
};

inline constexpr size_t kHeaderSize = 5;
inline constexpr uint32_t kMaxPayload = 65536;
inline constexpr uint8_t kVersion = 1;
inline constexpr size_t kPairBytes = 32;
inline constexpr size_t kDigestBytes = 32;  // SHA-256

enum class Purpose : uint8_t { Files = 1, Pairing = 2 };

struct Hello {
    uint8_t version = kVersion;
    Purpose purpose = Purpose::Files;
    std::string name;  // the sender's display name, as it came
};
struct File {
    uint64_t size = 0;
    int64_t mtime = 0;
    std::string path;  // one plain name in this version
};
struct Verdict {
    bool accept = true;
    uint64_t offset = 0;
    std::string reason;  // why it was refused
};
struct Ack {
    bool kept = true;
    std::string name;  // the name the file was kept under
};
struct PrefixHash {       // the sender's answer to a VERDICT that offers to resume
    uint64_t offset = 0;  // never 0
    std::array<uint8_t, kDigestBytes> digest{};
};
struct Resume {
    uint64_t offset = 0;  // where the body starts: the VERDICT's offset, or 0
};
struct Pair {  // PAIR_COMMIT, PAIR_NONCE or PAIR_REVEAL
    Type type = Type::PairCommit;
    std::array<uint8_t, kPairBytes> bytes{};
};
struct Confirm {
    bool matched = false;
};
struct End {};
// BATCH is batch_frames::Batch; a FOLDER carries its path (checked by the receiver's tree).
struct Folder {
    std::string path;
};

using Message = std::variant<Hello, File, Verdict, Ack, PrefixHash, Resume, Pair, Confirm, End,
                             batch_frames::Batch, Folder>;

enum class Error {
    None,
    TooLong,     // a length over kMaxPayload
    Unexpected,  // an unknown type, or one that is not due here
    Malformed,   // a field cut short, bytes left over, a value out of range
    BadName,     // a path or stored name the receive folder would not take
};

std::string Encode(const Hello& hello);
std::string Encode(const File& file);
std::string Encode(const Verdict& verdict);
std::string Encode(const Ack& ack);
std::string Encode(const PrefixHash& prefix);
std::string Encode(const Resume& resume);
std::string Encode(const Pair& pair);
std::string Encode(const Confirm& confirm);
std::string Encode(const End& end);
std::string Encode(const batch_frames::Batch& batch);
std::string Encode(const Folder& folder);

// Whether the byte names a type of the table above.
bool IsKnown(uint8_t type);
// The message a payload of that type carries, or why it is refused. A FILE whose name is
// refused still comes back, in `refused`, so that the receiver can say why.
std::optional<Message> Decode(Type type, std::string_view payload, Error& error,
                              Message* refused = nullptr);

}  // namespace frame
