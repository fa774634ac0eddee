// Times TLS between two identities on loopback against plain TCP: the handshake (median of
// many), and a transfer in the sender's 100 KiB pieces, plain and TLS alternating.
//   scripts/in-netns build/bench/tls_stream [MiB=1024] [rounds=3] [handshakes=200] [tls]
// With "tls" last, only the TLS transfers run (for a profile of them alone).
#include <arpa/inet.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "net/TcpStream.h"
#include "secure/Identity.h"
#include "secure/TlsStream.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr size_t kPiece = 102400;

struct Streams {
    std::unique_ptr<ByteStream> sender;
    std::unique_ptr<ByteStream> receiver;
};

bool Connected(std::unique_ptr<TcpStream>& client, std::unique_ptr<TcpStream>& server) {
    TcpStream listener(10s, nullptr);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    client = std::make_unique<TcpStream>(10s, nullptr);
    server = std::make_unique<TcpStream>(10s, nullptr);
    return listener.Create() && listener.Bind(local) && listener.Listen(1) &&
           listener.LocalAddress(local) && client->Create() && client->Connect(local) &&
           listener.Accept(*server, nullptr);
}

bool Secure(const Identity& a, const Identity& b, Streams& streams, std::string& cipher) {
    std::unique_ptr<TcpStream> client, server;
    if (!Connected(client, server)) {
        return false;
    }
    std::string clientError, serverError;
    std::unique_ptr<TlsStream> tlsClient;
    const auto deadline = net::DeadlineAfter(10s);
    std::thread connecting(
        [&] { tlsClient = TlsStream::Connect(std::move(client), a, deadline, clientError); });
    std::unique_ptr<TlsStream> tlsServer =
        TlsStream::Accept(std::move(server), b, deadline, serverError);
    connecting.join();
    if (!tlsClient || !tlsServer) {
        std::fprintf(stderr, "handshake: %s %s\n", clientError.c_str(), serverError.c_str());
        return false;
    }
    cipher = tlsClient->cipherName();
    streams.sender = std::move(tlsClient);
    streams.receiver = std::move(tlsServer);
    return true;
}

double CpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// User and system CPU seconds of the calling thread so far.
struct ThreadCpu {
    double user = 0, system = 0;
};
ThreadCpu ThreadCpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6,
            usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6};
}
ThreadCpu operator-(ThreadCpu a, ThreadCpu b) {
    return {a.user - b.user, a.system - b.system};
}

struct Cpu {
    double both = 0;
    ThreadCpu sender, receiver;
};

// Seconds to move `bytes` from sender to receiver, or a negative number on failure; the CPU
// time both sides spent, and each side's thread, in cpu (a figure a busy machine disturbs
// less). On loopback the kernel's receiving work mostly falls to the sending thread.
double Transfer(Streams& streams, size_t bytes, Cpu& cpu) {
    const double cpuStart = CpuSeconds();
    const ThreadCpu senderStart = ThreadCpuSeconds();
    std::vector<char> data(kPiece, 'z');
    const Clock::time_point start = Clock::now();
    size_t received = 0;
    std::thread receiving([&] {
        const ThreadCpu receiverStart = ThreadCpuSeconds();
        std::vector<char> buffer(kPiece);
        for (;;) {
            const long n = streams.receiver->Read(buffer.data(), buffer.size());
            if (n <= 0) {
                break;
            }
            received += static_cast<size_t>(n);
        }
        streams.receiver->EndOutput();
        streams.receiver->Close();
        cpu.receiver = ThreadCpuSeconds() - receiverStart;
    });
    bool ok = true;
    for (size_t sent = 0; sent < bytes && ok;) {
        const size_t piece = std::min(kPiece, bytes - sent);
        ok = streams.sender->Write(data.data(), piece) == static_cast<long>(piece);
        sent += piece;
    }
    ok = ok && streams.sender->EndOutput() && streams.sender->AwaitPeerEnd(net::DeadlineAfter(30s));
    cpu.sender = ThreadCpuSeconds() - senderStart;
    receiving.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    cpu.both = CpuSeconds() - cpuStart;
    return ok && received == bytes ? seconds : -1;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    const size_t mib = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 1024;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const int handshakes = argc > 3 ? std::atoi(argv[3]) : 200;
    const bool tlsOnly = argc > 4 && std::string(argv[4]) == "tls";
    char folder[] = "/tmp/zw-tls-bench-XXXXXX";
    if (mkdtemp(folder) == nullptr) {
        return 1;
    }
    std::string error;
    std::optional<Identity> a = Identity::LoadOrCreate(std::string(folder) + "/a", error);
    std::optional<Identity> b = Identity::LoadOrCreate(std::string(folder) + "/b", error);
    std::system(("rm -rf " + std::string(folder)).c_str());
    if (!a || !b) {
        std::fprintf(stderr, "%s\n", error.c_str());
        return 1;
    }

    std::string cipher;
    std::vector<double> times;
    for (int i = 0; i < handshakes; ++i) {
        Streams streams;
        const Clock::time_point start = Clock::now();
        if (!Secure(*a, *b, streams, cipher)) {
            return 1;
        }
        times.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
    std::printf("cipher %s, handshake on loopback (TCP connect included): median %.2f ms of %d\n",
                cipher.c_str(), Median(times), handshakes);

    const size_t bytes = mib * 1024 * 1024;
    std::vector<double> plain, secure;
    std::vector<double> cpuOf[2][5];  // [tls][both, sender user, system, receiver user, system]
    for (int round = 0; round < rounds; ++round) {
        for (const bool tls : {false, true}) {
            if (tlsOnly && !tls) {
                continue;
            }
            Streams streams;
            if (tls) {
                if (!Secure(*a, *b, streams, cipher)) {
                    return 1;
                }
            } else {
                std::unique_ptr<TcpStream> client, server;
                if (!Connected(client, server)) {
                    return 1;
                }
                streams.sender = std::move(client);
                streams.receiver = std::move(server);
            }
            Cpu cpu;
            const double seconds = Transfer(streams, bytes, cpu);
            if (seconds <= 0) {
                std::fprintf(stderr, "%s transfer failed\n", tls ? "TLS" : "plain");
                return 1;
            }
            (tls ? secure : plain).push_back(bytes / seconds / 1e6);
            const double each[5] = {cpu.both, cpu.sender.user, cpu.sender.system, cpu.receiver.user,
                                    cpu.receiver.system};
            for (int i = 0; i < 5; ++i) {
                cpuOf[tls][i].push_back(each[i] * 1e9 / bytes);  // ns per byte
            }
        }
    }
    std::printf("%zu MiB, median of %d: plain %.0f MB/s, TLS %.0f MB/s\n", mib, rounds,
                Median(plain), Median(secure));
    // ns per byte is also s per GB (times 1.074: s per GiB). Other work on the machine only
    // adds to these, so the least of the rounds is shown beside the median.
    std::printf(
        "CPU ns/byte, median (least): both sides | sender user + system | "
        "receiver user + system\n");
    for (const bool tls : {false, true}) {
        const auto& v = cpuOf[tls];
        if (v[0].empty()) {
            continue;
        }
        auto least = [](const std::vector<double>& values) {
            return *std::min_element(values.begin(), values.end());
        };
        std::printf("%s %.2f (%.2f) | %.2f (%.2f) + %.2f (%.2f) | %.2f (%.2f) + %.2f (%.2f)\n",
                    tls ? "TLS  " : "plain", Median(v[0]), least(v[0]), Median(v[1]), least(v[1]),
                    Median(v[2]), least(v[2]), Median(v[3]), least(v[3]), Median(v[4]),
                    least(v[4]));
    }
    return 0;
}
