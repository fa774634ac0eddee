#include "secure/Identity.h"

#include <openssl/evp.h>
#include <openssl/x509.h>

void Identity::KeyFree::operator()(EVP_PKEY* key) const {
    EVP_PKEY_free(key);
}

void Identity::CertificateFree::operator()(X509* certificate) const {
    X509_free(certificate);
}

Identity::Identity(Identity&&) noexcept = default;
Identity& Identity::operator=(Identity&&) noexcept = default;
Identity::~Identity() = default;

std::optional<Identity> Identity::LoadOrCreate(const std::string& folder, std::string& error) {
    (void)folder;
    error = "not built yet";
    return std::nullopt;
}

std::string Identity::Fingerprint(std::string_view hash) {
    return std::string(hash);
}

std::string Identity::KeyHashOf(EVP_PKEY*) {
    return {};
}
