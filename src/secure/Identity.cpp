#include "secure/Identity.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include "platform/WriteAll.h"
#include "secure/IdentityFolder.h"

namespace {

constexpr const char* kFileName = "identity.pem";
// A PKCS#8 PEM Ed25519 key is about 120 bytes; anything far larger is not one.
constexpr off_t kMaxKeyFile = 16 * 1024;

struct BioFree {
    void operator()(BIO* bio) const { BIO_free(bio); }
};
using BioPtr = std::unique_ptr<BIO, BioFree>;

// Never asks for a pass phrase: an encrypted key file is not one we wrote.
int NoPassphrase(char*, int, int, void*) {
    return -1;
}

class FileCloser {
public:
    explicit FileCloser(int fd) : fd_(fd) {}
    ~FileCloser() {
        if (fd_ >= 0) {
            close(fd_);
        }
    }
    FileCloser(const FileCloser&) = delete;
    FileCloser& operator=(const FileCloser&) = delete;

private:
    int fd_;
};

std::string Hex(const unsigned char* bytes, size_t length) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(length * 2);
    for (size_t i = 0; i < length; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

// Reads the key from an open file that must be private and ours.
EVP_PKEY* ReadKey(int fd, const std::string& path, std::string& error) {
    struct stat info {};
    if (fstat(fd, &info) != 0) {
        error = "Cannot read the key file " + path + ": " + strerror(errno);
        return nullptr;
    }
    if (!S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        error = "The key file " + path +
                " is not a file of this user; Zingwell will not use it. Remove it.";
        return nullptr;
    }
    if ((info.st_mode & (S_IRGRP | S_IROTH)) != 0) {
        error = "The key file " + path +
                " can be read by other users; Zingwell will not use it. Make it private "
                "(chmod 600 " +
                path + ") or remove it.";
        return nullptr;
    }
    if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        error = "The key file " + path +
                " can be changed by other users; Zingwell will not use it. Make it private "
                "(chmod 600 " +
                path + ") or remove it.";
        return nullptr;
    }
    if (info.st_size > kMaxKeyFile) {
        error = "The key file " + path + " is not a key Zingwell can read.";
        return nullptr;
    }
    std::string text(static_cast<size_t>(info.st_size), '\0');
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = read(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    text.resize(done);
    BioPtr bio(BIO_new_mem_buf(text.data(), static_cast<int>(text.size())));
    EVP_PKEY* key =
        bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, NoPassphrase, nullptr) : nullptr;
    OPENSSL_cleanse(text.data(), text.size());
    if (key == nullptr || EVP_PKEY_get_id(key) != EVP_PKEY_ED25519) {
        EVP_PKEY_free(key);
        error = "The key file " + path +
                " is not a key Zingwell can read; it is left as it is. Remove it to make a new "
                "key (your buddies must then pair again).";
        return nullptr;
    }
    return key;
}

// Makes a key and writes it to path, which must not exist yet. EEXIST in errno when another
// process was quicker.
EVP_PKEY* MakeKey(const std::string& path, std::string& error) {
    EVP_PKEY* key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
    BioPtr bio(BIO_new(BIO_s_secmem()));
    if (key == nullptr || !bio ||
        PEM_write_bio_PKCS8PrivateKey(bio.get(), key, nullptr, nullptr, 0, nullptr, nullptr) != 1) {
        EVP_PKEY_free(key);
        error = "Cannot make a key for this computer.";
        errno = EINVAL;
        return nullptr;
    }
    char* pem = nullptr;
    const long length = BIO_get_mem_data(bio.get(), &pem);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        const int cause = errno;
        error = "Cannot write the key file " + path + ": " + strerror(cause);
        EVP_PKEY_free(key);
        errno = cause;
        return nullptr;
    }
    bool ok =
        fchmod(fd, 0600) == 0 && WriteAll(fd, pem, static_cast<size_t>(length)) && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok) {
        error = "Cannot write the key file " + path + ": " + strerror(errno);
        unlink(path.c_str());  // made exclusively by us a moment ago
        EVP_PKEY_free(key);
        errno = EIO;
        return nullptr;
    }
    const std::string folder = path.substr(0, path.rfind('/'));
    const int dir = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        fsync(dir);
        close(dir);
    }
    return key;
}

// A self-signed certificate for the key: TLS needs one, no peer checks its names or dates.
X509* MakeCertificate(EVP_PKEY* key) {
    X509* certificate = X509_new();
    unsigned char serial[8];
    BIGNUM* number = nullptr;
    bool ok = certificate != nullptr && RAND_bytes(serial, sizeof serial) == 1;
    if (ok) {
        serial[0] &= 0x7F;  // a positive serial
        number = BN_bin2bn(serial, sizeof serial, nullptr);
        ok = number != nullptr && X509_set_version(certificate, X509_VERSION_3) == 1 &&
             BN_to_ASN1_INTEGER(number, X509_get_serialNumber(certificate)) != nullptr;
    }
    BN_free(number);
    if (ok) {
        X509_NAME* name = X509_get_subject_name(certificate);
        ok = X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                        reinterpret_cast<const unsigned char*>("zingwell"), -1, -1,
                                        0) == 1 &&
             X509_set_issuer_name(certificate, name) == 1 &&
             ASN1_TIME_set_string_X509(X509_getm_notBefore(certificate), "19700101000000Z") == 1 &&
             ASN1_TIME_set_string_X509(X509_getm_notAfter(certificate), "99991231235959Z") == 1 &&
             X509_set_pubkey(certificate, key) == 1 && X509_sign(certificate, key, nullptr) > 0;
    }
    if (!ok) {
        X509_free(certificate);
        return nullptr;
    }
    return certificate;
}

}  // namespace

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
    if (!MakeIdentityFolder(folder, error)) {
        return std::nullopt;
    }
    Identity identity;
    identity.path_ = folder + "/" + kFileName;
    const std::string& path = identity.path_;
    EVP_PKEY* key = nullptr;
    // Twice at most: a key that another copy wrote between our look and our write is read.
    for (int attempt = 0; attempt < 2 && key == nullptr; ++attempt) {
        const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
        if (fd >= 0) {
            FileCloser closer(fd);
            key = ReadKey(fd, path, error);
            if (key == nullptr) {
                return std::nullopt;
            }
            break;
        }
        if (errno == ELOOP) {
            error = "The key file " + path +
                    " is a symbolic link; Zingwell will not use it. Remove it.";
            return std::nullopt;
        }
        if (errno != ENOENT) {
            error = "Cannot read the key file " + path + ": " + strerror(errno);
            return std::nullopt;
        }
        key = MakeKey(path, error);
        if (key == nullptr && errno != EEXIST) {
            return std::nullopt;
        }
        identity.made_ = key != nullptr;
    }
    if (key == nullptr) {
        return std::nullopt;
    }
    identity.key_.reset(key);
    identity.keyHash_ = KeyHashOf(key);
    identity.certificate_.reset(MakeCertificate(key));
    if (identity.keyHash_.empty() || !identity.certificate_) {
        error = "Cannot use the key in " + path + ".";
        return std::nullopt;
    }
    error.clear();
    return identity;
}

std::string Identity::Fingerprint(std::string_view hash) {
    std::string text;
    for (size_t i = 0; i < hash.size(); i += 4) {
        if (i > 0) {
            text += ' ';
        }
        text += hash.substr(i, 4);
    }
    return text;
}

std::string Identity::KeyHashOf(EVP_PKEY* key) {
    unsigned char* der = nullptr;
    const int length = key != nullptr ? i2d_PUBKEY(key, &der) : -1;
    if (length <= 0) {
        return {};
    }
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(der, static_cast<size_t>(length), digest);
    OPENSSL_free(der);
    return Hex(digest, sizeof digest);
}
