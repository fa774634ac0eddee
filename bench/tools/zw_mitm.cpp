// A man in the middle, for tests: takes one TLS connection with a key of its own, opens TLS
// with that same key to the real receiver, relays both ways and writes every plaintext byte
// it saw, in either direction, to a record file. Run it inside a network namespace.
//
//   zw_mitm --identity DIR --listen ADDRESS --to ADDRESS PORT --record FILE
//
// Prints "key HASH" and "listening PORT", then "relayed UP DOWN" (bytes from the client and
// from the server) once the connection is over. Exit status 0 when both directions ended
// in order, 1 otherwise, 2 for bad arguments.
#include <arpa/inet.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "net/TcpStream.h"
#include "secure/Identity.h"
#include "secure/TlsStream.h"

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kStall = 30s;

bool Address(const std::string& text, int port, sockaddr_in& address) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    return port >= 0 && port < 65536 && inet_pton(AF_INET, text.c_str(), &address.sin_addr) == 1;
}

// One direction of the relay, ended when its reader ended or failed.
struct Direction {
    TlsStream& from;
    TlsStream& to;
    long long bytes = 0;
    bool ended = false;
    bool failed = false;
};

// Moves what has come on one side to the other; false when nothing was ready.
bool Pump(Direction& way, FILE* record) {
    if (way.ended || way.from.WaitFor(ByteStream::Direction::Readable, net::DeadlineAfter(20ms)) !=
                         net::Wait::Ready) {
        return false;
    }
    char buffer[16384];
    const long n = way.from.Read(buffer, sizeof buffer);
    if (n > 0) {
        fwrite(buffer, 1, static_cast<size_t>(n), record);
        fflush(record);
        way.bytes += n;
        way.failed = way.to.Write(buffer, static_cast<size_t>(n)) != n;
        way.ended = way.failed;
    } else {
        way.ended = true;
        way.failed = n < 0 || !way.to.EndOutput();
    }
    return true;
}

int Usage() {
    fprintf(stderr,
            "usage: zw_mitm --identity DIR --listen ADDRESS --to ADDRESS PORT --record FILE\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string folder, listenAt, target, recordPath;
    int targetPort = -1;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "--identity" && i + 1 < argc) {
            folder = argv[++i];
        } else if (option == "--listen" && i + 1 < argc) {
            listenAt = argv[++i];
        } else if (option == "--to" && i + 2 < argc) {
            target = argv[++i];
            targetPort = atoi(argv[++i]);
        } else if (option == "--record" && i + 1 < argc) {
            recordPath = argv[++i];
        } else {
            return Usage();
        }
    }
    sockaddr_in local{}, onward{};
    if (folder.empty() || recordPath.empty() || !Address(listenAt, 0, local) ||
        !Address(target, targetPort, onward)) {
        return Usage();
    }
    std::string error;
    std::optional<Identity> me = Identity::LoadOrCreate(folder, error);
    FILE* record = fopen(recordPath.c_str(), "wb");
    if (!me || record == nullptr) {
        fprintf(stderr, "zw_mitm: %s\n", me ? "cannot write the record" : error.c_str());
        return 1;
    }
    printf("key %s\n", me->keyHash().c_str());
    TcpStream listener(120s, nullptr);
    if (!listener.Create() || !listener.Bind(local) || !listener.Listen(4) ||
        !listener.LocalAddress(local)) {
        fprintf(stderr, "zw_mitm: cannot listen\n");
        return 1;
    }
    printf("listening %d\n", ntohs(local.sin_port));
    fflush(stdout);

    auto client = std::make_unique<TcpStream>(kStall, nullptr);
    if (!listener.Accept(*client, nullptr)) {
        fprintf(stderr, "zw_mitm: no connection came\n");
        return 1;
    }
    // The victim first, as an attacker on the path would: only then is there anything to relay.
    std::unique_ptr<TlsStream> victim =
        TlsStream::Accept(std::move(client), *me, net::DeadlineAfter(kStall), error);
    if (!victim) {
        fprintf(stderr, "zw_mitm: handshake with the sender: %s\n", error.c_str());
        return 1;
    }
    auto server = std::make_unique<TcpStream>(kStall, nullptr);
    if (!server->Create() || !server->Connect(onward)) {
        fprintf(stderr, "zw_mitm: cannot reach the receiver\n");
        return 1;
    }
    std::unique_ptr<TlsStream> receiver =
        TlsStream::Connect(std::move(server), *me, net::DeadlineAfter(kStall), error);
    if (!receiver) {
        fprintf(stderr, "zw_mitm: handshake with the receiver: %s\n", error.c_str());
        return 1;
    }

    // One thread: an SSL object is not to be read and written from two at once.
    Direction up{*victim, *receiver};
    Direction down{*receiver, *victim};
    while (!(up.ended && down.ended) && !up.failed && !down.failed) {
        Pump(up, record);
        Pump(down, record);
    }
    fclose(record);
    const bool whole = !up.failed && !down.failed;
    if (whole) {
        victim->Close();
        receiver->Close();
    } else {
        victim->Reset();
        receiver->Reset();
    }
    printf("relayed %lld %lld\n", up.bytes, down.bytes);
    return whole ? 0 : 1;
}
