#pragma once

#include <openssl/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>

// This computer's Ed25519 key (identity.pem, PKCS#8 PEM, 0600) and a self-signed certificate
// made from it at load, which TLS needs but no peer checks: peers trust the key's hash.
class Identity {
public:
    // What the caller says when made() is true but the known computers hold paired ones.
    static constexpr std::string_view kKeyLostText =
        "This computer's key was lost; your buddies must pair again.";

    // Loads folder/identity.pem, or makes it (and the folder, 0700) when it does not exist.
    // A file that others can read, that is not a regular file of ours, or that cannot be
    // read as a key gives an error text and no identity; it is never replaced.
    static std::optional<Identity> LoadOrCreate(const std::string& folder, std::string& error);

    Identity(Identity&&) noexcept;
    Identity& operator=(Identity&&) noexcept;
    Identity(const Identity&) = delete;
    Identity& operator=(const Identity&) = delete;
    ~Identity();

    // SHA-256 of the public key's DER SubjectPublicKeyInfo, 64 lowercase hex digits.
    const std::string& keyHash() const { return keyHash_; }
    // The first 16 hex digits of the key hash, as announced.
    std::string keyId() const { return keyHash_.substr(0, 16); }
    // True when the key was made by this load (a first start, or a lost key).
    bool made() const { return made_; }
    const std::string& path() const { return path_; }
    EVP_PKEY* key() const { return key_.get(); }
    X509* certificate() const { return certificate_.get(); }

    // A key hash for people: 16 groups of 4 hex digits separated by spaces.
    static std::string Fingerprint(std::string_view hash);
    // The hash of a DER SubjectPublicKeyInfo's key, as keyHash(); empty on failure.
    static std::string KeyHashOf(EVP_PKEY* key);

private:
    struct KeyFree {
        void operator()(EVP_PKEY* key) const;
    };
    struct CertificateFree {
        void operator()(X509* certificate) const;
    };

    Identity() = default;

    std::unique_ptr<EVP_PKEY, KeyFree> key_;
    std::unique_ptr<X509, CertificateFree> certificate_;
    std::string keyHash_;
    std::string path_;
    bool made_ = false;
};
