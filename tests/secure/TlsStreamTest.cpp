#include "secure/TlsStream.h"

#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <openssl/ssl.h>

#include <future>
#include <thread>
#include <vector>

#include "net/Waker.h"
#include "secure/Identity.h"
#include "secure/PairingCode.h"
#include "support/Files.h"
#include "support/TestPaths.h"

namespace {

using namespace std::chrono_literals;

Identity MakeIdentity(const std::string& name) {
    std::string error;
    std::optional<Identity> identity = Identity::LoadOrCreate(TestPaths::NewFolder(name), error);
    EXPECT_TRUE(identity) << error;
    return std::move(*identity);
}

// A connected pair of TCP streams on loopback.
struct TcpPair {
    std::unique_ptr<TcpStream> client = std::make_unique<TcpStream>(5s, nullptr);
    std::unique_ptr<TcpStream> server;

    explicit TcpPair(const Waker* serverWaker = nullptr)
        : server(std::make_unique<TcpStream>(5s, serverWaker)) {
        TcpStream listener(5s, nullptr);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_TRUE(listener.Create() && listener.Bind(local) && listener.Listen(1) &&
                    listener.LocalAddress(local));
        EXPECT_TRUE(client->Create() && client->Connect(local));
        EXPECT_TRUE(listener.Accept(*server, nullptr));
    }
};

// Both handshakes, the client's on a thread of its own.
struct TlsPair {
    Identity alice = MakeIdentity("alice");
    Identity bob = MakeIdentity("bob");
    std::unique_ptr<TlsStream> client;
    std::unique_ptr<TlsStream> server;

    TlsPair() {
        TcpPair tcp;
        const auto deadline = net::DeadlineAfter(5s);
        std::string clientError, serverError;
        std::thread connecting([&] {
            client = TlsStream::Connect(std::move(tcp.client), alice, deadline, clientError);
        });
        server = TlsStream::Accept(std::move(tcp.server), bob, deadline, serverError);
        connecting.join();
        EXPECT_TRUE(client) << clientError;
        EXPECT_TRUE(server) << serverError;
    }
};

std::string ReadToEnd(ByteStream& stream) {
    std::string text;
    char buffer[70000];
    for (;;) {
        const long n = stream.Read(buffer, sizeof buffer);
        if (n <= 0) {
            EXPECT_EQ(n, 0) << "errno " << errno;
            return text;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

TEST(TlsStream, TwoIdentitiesShakeHandsAndTalkBothWaysUntilCloseNotify) {
    TlsPair pair;
    ASSERT_TRUE(pair.client && pair.server);
    EXPECT_EQ(pair.client->peerKeyHash(), pair.bob.keyHash());
    EXPECT_EQ(pair.server->peerKeyHash(), pair.alice.keyHash());
    EXPECT_EQ(pair.client->cipherName(), "TLS_AES_128_GCM_SHA256");

    const auto clientE = pair.client->ExportKeyingMaterial(pairing::kExporterLabel, 32);
    const auto serverE = pair.server->ExportKeyingMaterial(pairing::kExporterLabel, 32);
    ASSERT_TRUE(clientE && serverE);
    EXPECT_EQ(*clientE, *serverE);
    EXPECT_NE(*clientE, *pair.client->ExportKeyingMaterial("EXPORTER-other", 32));

    // Several records each way; the server answers, ends, and the client confirms.
    const std::string request = RandomBytes(3 * 1024 * 1024 + 7, 1);
    const std::string answer = RandomBytes(100 * 1024, 2);
    std::thread serving([&] {
        EXPECT_EQ(ReadToEnd(*pair.server), request);
        EXPECT_EQ(pair.server->Write(answer.data(), answer.size()),
                  static_cast<long>(answer.size()));
        EXPECT_TRUE(pair.server->EndOutput());
        pair.server->Close();
    });
    EXPECT_EQ(pair.client->Write(request.data(), request.size()),
              static_cast<long>(request.size()));
    EXPECT_TRUE(pair.client->EndOutput());
    EXPECT_EQ(pair.client->Write("x", 1), -1);  // nothing after our end
    std::string heard(answer.size(), '\0');
    size_t got = 0;
    while (got < heard.size()) {
        const long n = pair.client->Read(heard.data() + got, heard.size() - got);
        ASSERT_GT(n, 0);
        got += static_cast<size_t>(n);
    }
    EXPECT_EQ(heard, answer);
    EXPECT_TRUE(pair.client->AwaitPeerEnd(net::DeadlineAfter(5s)));
    serving.join();
}

// A receiver takes several sessions at once with one identity, each thread its own stream.
TEST(TlsStream, SessionsAtOnceShareTheIdentities) {
    Identity alice = MakeIdentity("alice");
    Identity bob = MakeIdentity("bob");
    std::vector<std::thread> sessions;
    for (int i = 0; i < 4; ++i) {
        sessions.emplace_back([&, i] {
            TcpPair tcp;
            std::string clientError, serverError;
            std::unique_ptr<TlsStream> client;
            const auto deadline = net::DeadlineAfter(20s);
            std::thread connecting([&] {
                client = TlsStream::Connect(std::move(tcp.client), alice, deadline, clientError);
            });
            std::unique_ptr<TlsStream> server =
                TlsStream::Accept(std::move(tcp.server), bob, deadline, serverError);
            connecting.join();
            ASSERT_TRUE(client && server) << clientError << serverError;
            const char byte = static_cast<char>('a' + i);
            char got = 0;
            EXPECT_EQ(client->Write(&byte, 1), 1);
            EXPECT_EQ(server->Read(&got, 1), 1);
            EXPECT_EQ(got, byte);
            EXPECT_EQ(server->peerKeyHash(), alice.keyHash());
        });
    }
    for (std::thread& session : sessions) {
        session.join();
    }
}

TEST(TlsStream, AResetOrACutWithoutCloseNotifyIsNoEnd) {
    for (const bool reset : {true, false}) {
        SCOPED_TRACE(reset ? "reset" : "TCP close without close_notify");
        TlsPair pair;
        ASSERT_TRUE(pair.client && pair.server);
        ASSERT_EQ(pair.client->Write("abc", 3), 3);
        char buffer[8];
        ASSERT_EQ(pair.server->Read(buffer, sizeof buffer), 3);
        if (reset) {
            ASSERT_TRUE(pair.client->EndOutput());
            pair.server->Reset();
            EXPECT_FALSE(pair.client->AwaitPeerEnd(net::DeadlineAfter(5s)));
        } else {
            pair.client->tcp().Close();  // a truncation: the TCP end alone
            errno = 0;
            EXPECT_EQ(pair.server->Read(buffer, sizeof buffer), -1);
            EXPECT_NE(errno, 0);
        }
    }
}

TEST(TlsStream, WaitsEndAtTheStallAndAtTheWaker) {
    Identity bob = MakeIdentity("bob");
    for (const bool wake : {false, true}) {
        SCOPED_TRACE(wake ? "waker" : "stall");
        Waker waker;
        TcpPair tcp(&waker);
        tcp.server->SetStallTimeout(wake ? 5min : 50ms);
        if (wake) {
            waker.Wake();
        }
        // A client that never speaks.
        std::string error;
        EXPECT_FALSE(
            TlsStream::Accept(std::move(tcp.server), bob, net::DeadlineAfter(5min), error));
        EXPECT_NE(error.find(wake ? "stopped" : "too long"), std::string::npos) << error;
    }

    TlsPair pair;
    ASSERT_TRUE(pair.client && pair.server);
    pair.server->tcp().SetStallTimeout(50ms);
    char byte;
    errno = 0;
    EXPECT_EQ(pair.server->Read(&byte, 1), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    pair.server->SetDeadline(net::Clock::now());
    pair.server->tcp().SetStallTimeout(5min);
    errno = 0;
    EXPECT_EQ(pair.server->Read(&byte, 1), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

// A client context of the test's own, which Zingwell's receiver must turn away.
TEST(TlsStream, APeerWithoutOurProtocolOrTls13IsRefused) {
    struct Case {
        const char* name;
        const char* alpn;  // nullptr: none offered
        int maxVersion;
        const char* says;
    };
    const Case cases[] = {
        {"no ALPN", nullptr, TLS1_3_VERSION, "does not speak Zingwell's protocol"},
        {"another ALPN", "\x08http/1.1", TLS1_3_VERSION, "no application protocol"},
        {"TLS 1.2", "\x0azingwell/1", TLS1_2_VERSION, "unsupported protocol"},
    };
    Identity bob = MakeIdentity("bob");
    Identity mallory = MakeIdentity("mallory");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TcpPair tcp;
        SSL_CTX* context = SSL_CTX_new(TLS_client_method());
        ASSERT_NE(context, nullptr);
        SSL_CTX_set_max_proto_version(context, c.maxVersion);
        if (c.alpn != nullptr) {
            ASSERT_EQ(SSL_CTX_set_alpn_protos(
                          context, reinterpret_cast<const unsigned char*>(c.alpn), strlen(c.alpn)),
                      0);
        }
        SSL_CTX_use_certificate(context, mallory.certificate());
        SSL_CTX_use_PrivateKey(context, mallory.key());
        SSL* ssl = SSL_new(context);
        SSL_set_fd(ssl, tcp.client->fd());
        std::thread connecting([&] {
            // The client's socket does not block: drive it by polling until it ends.
            const auto end = net::DeadlineAfter(5s);
            while (net::Clock::now() < end) {
                const int result = SSL_connect(ssl);
                const int cause = SSL_get_error(ssl, result);
                if (result == 1 ||
                    (cause != SSL_ERROR_WANT_READ && cause != SSL_ERROR_WANT_WRITE)) {
                    break;
                }
                tcp.client->WaitFor(cause == SSL_ERROR_WANT_READ ? ByteStream::Direction::Readable
                                                                 : ByteStream::Direction::Writable,
                                    end);
            }
        });
        std::string error;
        EXPECT_FALSE(TlsStream::Accept(std::move(tcp.server), bob, net::DeadlineAfter(5s), error));
        EXPECT_NE(error.find(c.says), std::string::npos) << error;
        connecting.join();
        SSL_free(ssl);
        SSL_CTX_free(context);
    }
}

}  // namespace
