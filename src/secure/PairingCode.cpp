#include "secure/PairingCode.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <memory>

#include "core/PercentText.h"

namespace pairing {
namespace {

constexpr std::string_view kCommitLabel = "zingwell-pair-commit";
constexpr std::string_view kCodeLabel = "zingwell-pair-code";

// A key hash's 32 bytes; a text that is not 64 hex digits is hashed as it is, so that it can
// never equal a real key's bytes by accident.
std::string KeyBytes(std::string_view hex) {
    std::string bytes;
    if (hex.size() == 64) {
        for (size_t i = 0; i < hex.size(); i += 2) {
            const int high = percent_text::HexValue(hex[i]);
            const int low = percent_text::HexValue(hex[i + 1]);
            if (high < 0 || low < 0) {
                return std::string(hex);
            }
            bytes += static_cast<char>(high * 16 + low);
        }
        return bytes;
    }
    return std::string(hex);
}

struct DigestFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

Digest Sha256(std::string_view label, std::string_view pkI, std::string_view pkR,
              std::initializer_list<std::span<const unsigned char>> parts) {
    std::unique_ptr<EVP_MD_CTX, DigestFree> context(EVP_MD_CTX_new());
    Digest digest{};
    const std::string keyI = KeyBytes(pkI);
    const std::string keyR = KeyBytes(pkR);
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1 &&
              EVP_DigestUpdate(context.get(), label.data(), label.size()) == 1 &&
              EVP_DigestUpdate(context.get(), keyI.data(), keyI.size()) == 1 &&
              EVP_DigestUpdate(context.get(), keyR.data(), keyR.size()) == 1;
    for (std::span<const unsigned char> part : parts) {
        ok = ok && EVP_DigestUpdate(context.get(), part.data(), part.size()) == 1;
    }
    unsigned int length = 0;
    if (!ok || EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1) {
        // A library that cannot hash cannot protect anything: stop rather than pair blind.
        std::abort();
    }
    return digest;
}

}  // namespace

Digest Commitment(std::string_view pkI, std::string_view pkR, std::span<const unsigned char> E,
                  std::span<const unsigned char> Nr) {
    return Sha256(kCommitLabel, pkI, pkR, {E, Nr});
}

std::string Code(std::string_view pkI, std::string_view pkR, std::span<const unsigned char> E,
                 std::span<const unsigned char> Ni, std::span<const unsigned char> Nr) {
    const Digest digest = Sha256(kCodeLabel, pkI, pkR, {E, Ni, Nr});
    uint64_t number = 0;
    for (int i = 0; i < 8; ++i) {
        number = number << 8 | digest[i];
    }
    const unsigned code = static_cast<unsigned>(number % 1000000);
    char text[8];
    std::snprintf(text, sizeof text, "%03u %03u", code / 1000, code % 1000);
    return text;
}

Nonce RandomNonce() {
    Nonce nonce{};
    if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) {
        std::abort();  // a guessable nonce would give the pairing away
    }
    return nonce;
}

bool SameDigest(std::span<const unsigned char> a, std::span<const unsigned char> b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace pairing
