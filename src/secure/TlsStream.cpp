#include "secure/TlsStream.h"

#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <algorithm>

#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "secure/Identity.h"

namespace {

// AES-GCM first: these machines encrypt it fastest; ChaCha20 for those without AES in silicon.
constexpr const char* kSuites =
    "TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256:TLS_AES_256_GCM_SHA384";
// The ALPN list on the wire: a length byte, then the name.
constexpr unsigned char kAlpnWire[] = {10, 'z', 'i', 'n', 'g', 'w', 'e', 'l', 'l', '/', '1'};
// Records are read ahead into a buffer this large, so one read takes several records; a larger
// one cost more time per byte here (it no longer stays in the cache), and so did a one-record
// buffer or none at all (two reads per record).
constexpr size_t kReadBuffer = 64 * 1024;
// Records are written into a buffer of ours and go to the socket together, at the end of each
// Write or when it is full: one send of a 16 KiB record each cost more in the kernel (a
// packet and a wake of the reader per record) than the cipher did.
constexpr size_t kOutbox = 128 * 1024;

// The write side of a session: a BIO that appends to the stream's outbox and asks to be
// retried when it is full, so OpenSSL never touches the socket for writing.
int OutboxWrite(BIO* bio, const char* data, int length) {
    auto* outbox = static_cast<std::string*>(BIO_get_data(bio));
    BIO_clear_retry_flags(bio);
    const size_t room = kOutbox - std::min(kOutbox, outbox->size());
    if (room == 0) {
        BIO_set_retry_write(bio);
        return -1;
    }
    const size_t n = std::min(room, static_cast<size_t>(std::max(length, 0)));
    outbox->append(data, n);
    return static_cast<int>(n);
}

long OutboxControl(BIO* bio, int command, long, void*) {
    switch (command) {
        case BIO_CTRL_FLUSH:
            return 1;  // the stream sends the outbox after each call
        case BIO_CTRL_WPENDING:
            return static_cast<long>(static_cast<std::string*>(BIO_get_data(bio))->size());
        default:
            return 0;
    }
}

int OutboxCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

const BIO_METHOD* OutboxMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* made =
            BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zingwell outbox");
        if (made != nullptr) {
            BIO_meth_set_write(made, OutboxWrite);
            BIO_meth_set_ctrl(made, OutboxControl);
            BIO_meth_set_create(made, OutboxCreate);
        }
        return made;
    }();
    return method;
}

// Trust is decided by the caller from the key's hash, never by the certificate's contents.
int AcceptAnyCertificate(int, X509_STORE_CTX*) {
    return 1;
}

int SelectAlpn(SSL*, const unsigned char** out, unsigned char* outLength, const unsigned char* in,
               unsigned int inLength, void*) {
    unsigned char* selected = nullptr;
    if (SSL_select_next_proto(&selected, outLength, kAlpnWire, sizeof kAlpnWire, in, inLength) !=
        OPENSSL_NPN_NEGOTIATED) {
        return SSL_TLSEXT_ERR_ALERT_FATAL;
    }
    *out = selected;
    return SSL_TLSEXT_ERR_OK;
}

SSL_CTX* MakeContext(bool server) {
    SSL_CTX* context = SSL_CTX_new(server ? TLS_server_method() : TLS_client_method());
    if (context == nullptr) {
        return nullptr;
    }
    bool ok = SSL_CTX_set_min_proto_version(context, TLS1_3_VERSION) == 1 &&
              SSL_CTX_set_max_proto_version(context, TLS1_3_VERSION) == 1 &&
              SSL_CTX_set_ciphersuites(context, kSuites) == 1;
    SSL_CTX_set_verify(context,
                       SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT | SSL_VERIFY_CLIENT_ONCE,
                       AcceptAnyCertificate);
    // Every session is new: no tickets, no resumption.
    SSL_CTX_set_session_cache_mode(context, SSL_SESS_CACHE_OFF);
    SSL_CTX_set_options(context, SSL_OP_NO_TICKET | SSL_OP_CIPHER_SERVER_PREFERENCE);
    SSL_CTX_set_mode(context, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(context, 1);
    SSL_CTX_set_default_read_buffer_len(context, kReadBuffer);
    if (server) {
        ok = ok && SSL_CTX_set_num_tickets(context, 0) == 1;
        SSL_CTX_set_alpn_select_cb(context, SelectAlpn, nullptr);
    } else {
        ok = ok && SSL_CTX_set_alpn_protos(context, kAlpnWire, sizeof kAlpnWire) == 0;
    }
    if (!ok) {
        SSL_CTX_free(context);
        return nullptr;
    }
    return context;
}

// One context per role for the whole process, made at first use.
SSL_CTX* ContextFor(bool server) {
    static SSL_CTX* const client = MakeContext(false);
    static SSL_CTX* const serverContext = MakeContext(true);
    return server ? serverContext : client;
}

// The first error of OpenSSL's queue as text, and the queue emptied.
std::string OpenSslError(const char* what) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    std::string text = what;
    if (code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof reason);
        text += ": ";
        text += reason;
    }
    return text;
}

}  // namespace

void TlsStream::SslFree::operator()(SSL* ssl) const {
    SSL_free(ssl);
}

TlsStream::TlsStream(std::unique_ptr<TcpStream> tcp) : tcp_(std::move(tcp)) {}

TlsStream::~TlsStream() {
    if (tcp_ && tcp_->IsOpen()) {
        if (outputEnded_ && !failed_) {
            tcp_->Close();
        } else {
            tcp_->Reset();
        }
    }
}

std::unique_ptr<TlsStream> TlsStream::Connect(std::unique_ptr<TcpStream> tcp, const Identity& me,
                                              net::Clock::time_point deadline, std::string& error) {
    return Handshake(Role::Client, std::move(tcp), me, deadline, error);
}

std::unique_ptr<TlsStream> TlsStream::Accept(std::unique_ptr<TcpStream> tcp, const Identity& me,
                                             net::Clock::time_point deadline, std::string& error) {
    return Handshake(Role::Server, std::move(tcp), me, deadline, error);
}

std::unique_ptr<TlsStream> TlsStream::Handshake(Role role, std::unique_ptr<TcpStream> tcp,
                                                const Identity& me, net::Clock::time_point deadline,
                                                std::string& error) {
    if (!tcp || !tcp->IsOpen()) {
        error = "No connection for TLS.";
        return nullptr;
    }
    // Our writes are whole records gathered in the outbox: waiting for the peer's ACK before
    // sending a small one (a frame, close_notify) only costs a delayed ACK per exchange.
    const int on = 1;
    (void)setsockopt(tcp->fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::unique_ptr<TlsStream> stream(new TlsStream(std::move(tcp)));
    stream->failed_ = true;  // until the handshake is through: a failure resets the connection
    ERR_clear_error();
    SSL_CTX* context = ContextFor(role == Role::Server);
    stream->ssl_.reset(context != nullptr ? SSL_new(context) : nullptr);
    SSL* ssl = stream->ssl_.get();
    BIO* outbox = OutboxMethod() != nullptr ? BIO_new(OutboxMethod()) : nullptr;
    if (outbox != nullptr) {
        stream->outbox_.reserve(kOutbox);
        BIO_set_data(outbox, &stream->outbox_);
    }
    if (ssl == nullptr || outbox == nullptr || SSL_set_rfd(ssl, stream->tcp_->fd()) != 1 ||
        SSL_use_certificate(ssl, me.certificate()) != 1 || SSL_use_PrivateKey(ssl, me.key()) != 1) {
        BIO_free(outbox);
        error = OpenSslError("Cannot set up TLS");
        return nullptr;
    }
    SSL_set0_wbio(ssl, outbox);
    const net::Clock::time_point end = std::min(deadline, stream->deadline_);
    for (;;) {
        ERR_clear_error();
        const int result = role == Role::Client ? SSL_connect(ssl) : SSL_accept(ssl);
        const int cause = SSL_get_error(ssl, result);
        if (cause == SSL_ERROR_SSL) {
            error = OpenSslError("The TLS handshake failed");
            stream->TrySendOutbox();  // the alert that says why
            return nullptr;
        }
        if (result == 1) {
            if (!stream->SendOutbox()) {
                error = "The connection ended during the TLS handshake.";
                return nullptr;
            }
            break;
        }
        if (!stream->Settle(result, std::min(end, stream->StallDeadline()))) {
            error = errno == ECANCELED   ? "The TLS handshake was stopped."
                    : errno == ETIMEDOUT ? "The TLS handshake took too long."
                                         : "The connection ended during the TLS handshake.";
            return nullptr;
        }
    }
    const unsigned char* alpn = nullptr;
    unsigned int alpnLength = 0;
    SSL_get0_alpn_selected(ssl, &alpn, &alpnLength);
    if (alpn == nullptr ||
        std::string_view(reinterpret_cast<const char*>(alpn), alpnLength) != kAlpn) {
        error = "The peer does not speak Zingwell's protocol over TLS.";
        return nullptr;
    }
    X509* certificate = SSL_get0_peer_certificate(ssl);
    stream->peerKeyHash_ =
        certificate != nullptr ? Identity::KeyHashOf(X509_get0_pubkey(certificate)) : "";
    if (stream->peerKeyHash_.empty()) {
        error = "The peer showed no key.";
        return nullptr;
    }
    stream->failed_ = false;
    return stream;
}

bool TlsStream::Settle(int result, net::Clock::time_point deadline) {
    const int cause = SSL_get_error(ssl_.get(), result);
    if (cause == SSL_ERROR_WANT_WRITE && !outbox_.empty()) {
        return SendOutbox();  // the outbox was full
    }
    if (cause == SSL_ERROR_WANT_WRITE) {
        // Not ours to ask; waiting for room keeps it from spinning.
        return tcp_->WaitFor(Direction::Writable, deadline) == net::Wait::Ready;
    }
    if (cause == SSL_ERROR_WANT_READ) {
        // The peer may be waiting for what we wrote before it says more.
        return SendOutbox() && tcp_->WaitFor(Direction::Readable, deadline) == net::Wait::Ready;
    }
    // The session is over: a reset, a cut without close_notify, or bytes that fail their
    // check. None of them may pass for an end of the stream.
    if (cause != SSL_ERROR_SYSCALL || errno == 0) {
        errno = cause == SSL_ERROR_SSL ? EPROTO : ECONNRESET;
    }
    if (cause == SSL_ERROR_SSL) {
        TrySendOutbox();
    }
    ERR_clear_error();
    failed_ = true;
    return false;
}

bool TlsStream::SendOutbox() {
    if (outbox_.empty()) {
        return true;
    }
    const long n = tcp_->Write(outbox_.data(), outbox_.size());
    if (n != static_cast<long>(outbox_.size())) {
        failed_ = true;  // part of a record went: the session cannot go on
        return false;
    }
    outbox_.clear();
    return true;
}

void TlsStream::TrySendOutbox() {
    if (!outbox_.empty() && tcp_->IsOpen()) {
        const int saved = errno;
        (void)send(tcp_->fd(), outbox_.data(), outbox_.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        errno = saved;
    }
    outbox_.clear();
}

long TlsStream::Read(char* buffer, size_t capacity) {
    if (failed_ || !tcp_->IsOpen()) {
        errno = EBADF;
        return -1;
    }
    if (peerEnded_ || capacity == 0) {
        return 0;
    }
    size_t total = 0;
    for (;;) {
        ERR_clear_error();
        size_t got = 0;
        const int result = SSL_read_ex(ssl_.get(), buffer + total, capacity - total, &got);
        if (result == 1) {
            // A key update asked by the peer is answered at once, not with our next write.
            if (!outbox_.empty() && !SendOutbox()) {
                return -1;
            }
            total += got;
            // Records already taken from the socket fill the caller's buffer in one call.
            if (total < capacity && SSL_has_pending(ssl_.get()) == 1) {
                continue;
            }
            return static_cast<long>(total);
        }
        const int cause = SSL_get_error(ssl_.get(), result);
        if (cause == SSL_ERROR_ZERO_RETURN) {
            peerEnded_ = true;
            return static_cast<long>(total);
        }
        if (total > 0) {
            // What came is the caller's now; a failure shows at the next read.
            ERR_clear_error();
            return static_cast<long>(total);
        }
        if (!Settle(result, StallDeadline())) {
            return -1;
        }
    }
}

long TlsStream::Write(const char* data, size_t length) {
    if (failed_ || outputEnded_ || !tcp_->IsOpen()) {
        errno = failed_ || !tcp_->IsOpen() ? EBADF : EPIPE;
        return -1;
    }
    size_t done = 0;
    while (done < length) {
        ERR_clear_error();
        size_t written = 0;
        const int result = SSL_write_ex(ssl_.get(), data + done, length - done, &written);
        if (result == 1) {
            done += written;
        } else if (!Settle(result, StallDeadline())) {
            return -1;  // a stall, a wake or a broken session: nothing more can go
        }
    }
    return SendOutbox() ? static_cast<long>(done) : -1;
}

net::Wait TlsStream::WaitFor(Direction direction, net::Clock::time_point deadline) {
    // Records already taken from the socket may hold bytes no poll would announce.
    if (direction == Direction::Readable && (peerEnded_ || SSL_has_pending(ssl_.get()) == 1)) {
        return net::Wait::Ready;
    }
    return tcp_->WaitFor(direction, std::min(deadline, deadline_));
}

void TlsStream::SetDeadline(net::Clock::time_point end) {
    deadline_ = end;
    tcp_->SetDeadline(end);
}

net::Clock::time_point TlsStream::StallDeadline() const {
    return std::min(net::DeadlineAfter(tcp_->stallTimeout()), deadline_);
}

bool TlsStream::EndOutput() {
    if (outputEnded_) {
        return true;
    }
    if (failed_ || !tcp_->IsOpen()) {
        errno = EBADF;
        return false;
    }
    for (;;) {
        ERR_clear_error();
        // 0: our close_notify went, the peer's is still to come.
        const int result = SSL_shutdown(ssl_.get());
        if (result >= 0) {
            outputEnded_ = SendOutbox();
            return outputEnded_;
        }
        if (!Settle(result, StallDeadline())) {
            return false;
        }
    }
}

bool TlsStream::AwaitPeerEnd(net::Clock::time_point deadline) {
    deadline = std::min(deadline, deadline_);
    char scrap[16384];
    while (!peerEnded_) {
        if (failed_ || !tcp_->IsOpen()) {
            return false;
        }
        ERR_clear_error();
        size_t got = 0;
        const int result = SSL_read_ex(ssl_.get(), scrap, sizeof scrap, &got);
        if (result == 1) {
            continue;  // whatever the peer says before its end is passed over
        }
        if (SSL_get_error(ssl_.get(), result) == SSL_ERROR_ZERO_RETURN) {
            peerEnded_ = true;
            break;
        }
        if (!Settle(result, deadline)) {
            return false;
        }
    }
    return tcp_->AwaitPeerEnd(deadline);
}

void TlsStream::Close() {
    if (!tcp_->IsOpen()) {
        return;
    }
    if (!outputEnded_ && !failed_) {
        // One try, without waiting: a peer that takes no more bytes learns of the end from
        // the TCP close.
        ERR_clear_error();
        outputEnded_ = SSL_shutdown(ssl_.get()) >= 0;
        ERR_clear_error();
        TrySendOutbox();
    }
    tcp_->Close();
}

void TlsStream::Reset() {
    failed_ = true;
    tcp_->Reset();
}

std::optional<std::vector<unsigned char>> TlsStream::ExportKeyingMaterial(std::string_view label,
                                                                          size_t length) const {
    std::vector<unsigned char> material(length);
    if (SSL_export_keying_material(ssl_.get(), material.data(), length, label.data(), label.size(),
                                   nullptr, 0, 0) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    return material;
}

std::string TlsStream::cipherName() const {
    const SSL_CIPHER* cipher = SSL_get_current_cipher(ssl_.get());
    return cipher != nullptr ? SSL_CIPHER_get_name(cipher) : "";
}
