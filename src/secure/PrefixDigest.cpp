#include "secure/PrefixDigest.h"

#include <errno.h>
#include <openssl/evp.h>
#include <unistd.h>

#include <openssl/sha.h>

#include <algorithm>
#include <memory>
#include <vector>

namespace prefix_digest {

std::optional<Digest> Of(int fd, uint64_t length, const std::atomic<bool>* stop) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> context(EVP_MD_CTX_new(),
                                                                    EVP_MD_CTX_free);
    if (!context || EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) != 1) {
        return std::nullopt;
    }
    // Large reads: the hash runs faster than most disks, so the reads set the pace.
    std::vector<unsigned char> buffer(1 << 20);
    uint64_t done = 0;
    while (done < length) {
        if (stop != nullptr && *stop) {
            return std::nullopt;
        }
        const size_t want = static_cast<size_t>(std::min<uint64_t>(length - done, buffer.size()));
        const ssize_t n = pread(fd, buffer.data(), want, static_cast<off_t>(done));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0 || EVP_DigestUpdate(context.get(), buffer.data(), static_cast<size_t>(n)) != 1) {
            return std::nullopt;
        }
        done += static_cast<uint64_t>(n);
    }
    Digest digest{};
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &size) != 1 || size != digest.size()) {
        return std::nullopt;
    }
    return digest;
}

Digest OfText(std::string_view text) {
    Digest digest{};
    SHA256(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest.data());
    return digest;
}

}  // namespace prefix_digest
