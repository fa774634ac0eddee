#pragma once

#include <array>
#include <span>
#include <string>
#include <string_view>

// The pairing's commitment and code (PROTOCOL.md, Pairing), pure functions. pkI and pkR are the
// initiator's and the responder's key hashes as 64 hex digits (Identity::keyHash(),
// TlsStream::peerKeyHash()); they are hashed as their 32 bytes. E is the session's exporter
// value, Ni and Nr the two random nonces.
namespace pairing {

using Nonce = std::array<unsigned char, 32>;
using Digest = std::array<unsigned char, 32>;

inline constexpr std::string_view kExporterLabel = "EXPORTER-zingwell-pairing";

// SHA-256("zingwell-pair-commit" | pkI | pkR | E | Nr).
Digest Commitment(std::string_view pkI, std::string_view pkR, std::span<const unsigned char> E,
                  std::span<const unsigned char> Nr);
// The 6 digits both users compare, as "123 456".
std::string Code(std::string_view pkI, std::string_view pkR, std::span<const unsigned char> E,
                 std::span<const unsigned char> Ni, std::span<const unsigned char> Nr);
// 32 bytes from the system's random source.
Nonce RandomNonce();
// Equal digests, compared in constant time.
bool SameDigest(std::span<const unsigned char> a, std::span<const unsigned char> b);

}  // namespace pairing
