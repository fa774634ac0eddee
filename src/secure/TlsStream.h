#pragma once

#include <openssl/types.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "net/ByteStream.h"
#include "net/TcpStream.h"

class Identity;

// TLS 1.3 over a connected TCP stream, both sides presenting their identity's certificate.
// Any certificate is taken: the caller decides trust by peerKeyHash(). Every wait is the TCP
// stream's (stall limit, deadline, waker), so a TLS stream ends its waits as a TCP one does.
class TlsStream : public ByteStream {
public:
    static constexpr std::string_view kAlpn = "zingwell/1";

    // The client's and the server's handshake, finished by the deadline; null with error text
    // on failure (the TCP connection is then reset).
    static std::unique_ptr<TlsStream> Connect(std::unique_ptr<TcpStream> tcp, const Identity& me,
                                              net::Clock::time_point deadline, std::string& error);
    static std::unique_ptr<TlsStream> Accept(std::unique_ptr<TcpStream> tcp, const Identity& me,
                                             net::Clock::time_point deadline, std::string& error);

    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;
    // Resets a stream that was not ended in order.
    ~TlsStream() override;

    // Fills the buffer from the records already taken, waiting only when none is.
    long Read(char* buffer, size_t capacity) override;
    // -1 on any failure, even after progress: a TLS session cannot go on after one.
    long Write(const char* data, size_t length) override;
    net::Wait WaitFor(Direction direction, net::Clock::time_point deadline) override;
    void SetDeadline(net::Clock::time_point end) override;

    // Sends close_notify; reading goes on.
    bool EndOutput() override;
    // True once the peer's close_notify came (what it sends before is passed over) and its
    // system took every byte we sent.
    bool AwaitPeerEnd(net::Clock::time_point deadline) override;
    // close_notify, then an orderly TCP close.
    void Close() override;
    // A TCP reset, no close_notify: the peer cannot take the stream for a whole one.
    void Reset() override;

    // SHA-256 of the peer's public key (64 lowercase hex digits), as Identity::keyHash().
    const std::string& peerKeyHash() const { return peerKeyHash_; }
    // RFC 8446 exporter with this label and no context; nullopt on failure.
    std::optional<std::vector<unsigned char>> ExportKeyingMaterial(std::string_view label,
                                                                   size_t length) const;
    std::string cipherName() const;
    TcpStream& tcp() { return *tcp_; }

private:
    struct SslFree {
        void operator()(SSL* ssl) const;
    };
    enum class Role { Client, Server };

    explicit TlsStream(std::unique_ptr<TcpStream> tcp);
    static std::unique_ptr<TlsStream> Handshake(Role role, std::unique_ptr<TcpStream> tcp,
                                                const Identity& me, net::Clock::time_point deadline,
                                                std::string& error);
    // After an SSL call that did not succeed: turns its want into one wait of the TCP stream.
    // False when the call failed for good or the wait ended (errno tells).
    bool Settle(int result, net::Clock::time_point deadline);
    // The end of one wait of a read or write: the stall limit, or the deadline if sooner.
    net::Clock::time_point StallDeadline() const;
    // Sends the records written so far, waiting as a TCP write does; false (the session
    // failed) unless all went.
    bool SendOutbox();
    // One try without waiting (an alert, a close_notify), then the outbox is emptied.
    void TrySendOutbox();

    std::unique_ptr<TcpStream> tcp_;
    std::string outbox_;  // records not yet sent; before ssl_, whose write side fills it
    std::unique_ptr<SSL, SslFree> ssl_;
    std::string peerKeyHash_;
    net::Clock::time_point deadline_ = net::kNoDeadline;
    bool outputEnded_ = false;
    bool peerEnded_ = false;
    bool failed_ = false;
};
