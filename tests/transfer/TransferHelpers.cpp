#include "TransferHelpers.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <errno.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "core/ActivityLog.h"
#include "support/Files.h"
#include "support/TestPaths.h"
#include "transfer/WireFormat.h"

namespace transfer_test {

std::string Stream(const std::string& name, const std::string& body) {
    return wire::EncodeHeader(name, body.size()) + body;
}

std::string ReadAll(int fd, bool* reset) {
    std::string data;
    char buffer[65536];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        data.append(buffer, static_cast<size_t>(n));
    }
    if (reset != nullptr) {
        *reset = n < 0 && errno == ECONNRESET;
    }
    return data;
}

bool AnsweredWithReset(int fd) {
    char byte;
    return recv(fd, &byte, 1, 0) < 0 && errno == ECONNRESET;
}

std::vector<std::string> Listing(const std::string& folder) {
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..") {
                names.push_back(name);
            }
        }
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

std::string CheckReceiveEvents(const std::vector<RecordingCallback::Event>& events,
                               size_t nameLength, size_t size) {
    if (events.size() < 3 || events.front().name != "IncomingFile" ||
        events.back().name != "FinishedSending") {
        return "not IncomingFile ... FinishedSending";
    }
    int64_t last = 0;
    for (size_t i = 1; i + 1 < events.size(); ++i) {
        const RecordingCallback::Event& event = events[i];
        if (event.name != "ShowProgress" || event.b != static_cast<int64_t>(size) ||
            event.a <= last) {
            return "unexpected " + event.Describe();
        }
        last = event.a;
    }
    if (last != static_cast<int64_t>(nameLength + 9 + size)) {
        return "last progress " + std::to_string(last);
    }
    return "";
}

std::vector<std::string> ExpectedSendEvents(size_t size) {
    std::vector<std::string> events;
    for (size_t sent = wire::kPieceSize; sent <= size; sent += wire::kPieceSize) {
        events.push_back("ShowProgress " + std::to_string(sent) + " " + std::to_string(size));
    }
    events.push_back("FinishedSending");
    return events;
}

void RecordingNotes::FileReceived(const std::string& name, const std::string& peer) {
    std::lock_guard<std::mutex> guard(mutex_);
    notes_.push_back({"FileReceived", name, peer, events_.Events().size(), ""});
}

void RecordingNotes::ReceiveFailed(const std::string& name, const std::string& peer) {
    std::lock_guard<std::mutex> guard(mutex_);
    notes_.push_back({"ReceiveFailed", name, peer, events_.Events().size(), ""});
}

void RecordingNotes::SecureFileReceived(const std::string& name, const std::string& peer,
                                        const std::string& key) {
    std::lock_guard<std::mutex> guard(mutex_);
    notes_.push_back({"FileReceived", name, peer, events_.Events().size(), key});
}

void RecordingNotes::SecureReceiveFailed(const std::string& name, const std::string& peer,
                                         const std::string& key) {
    std::lock_guard<std::mutex> guard(mutex_);
    notes_.push_back({"ReceiveFailed", name, peer, events_.Events().size(), key});
}

void RecordingNotes::BatchStarted(const IncomingBatch& batch) {
    std::lock_guard<std::mutex> guard(mutex_);
    notes_.push_back({"BatchStarted", batch.root, batch.peerAddress, events_.Events().size(),
                      batch.peerKeyHash});
}

void RecordingNotes::BatchEnded(const IncomingBatch& batch, bool whole) {
    std::lock_guard<std::mutex> guard(mutex_);
    notes_.push_back({whole ? "BatchEnded whole" : "BatchEnded",
                      batch.storedRoot + " " + std::to_string(batch.filesKept) + "/" +
                          std::to_string(batch.files),
                      batch.peerAddress, events_.Events().size(), batch.peerKeyHash});
}

Identity MakeIdentity(const std::string& name) {
    std::string error;
    std::optional<Identity> identity = Identity::LoadOrCreate(TestPaths::NewFolder(name), error);
    EXPECT_TRUE(identity) << error;
    return std::move(*identity);
}

sockaddr_in Loopback(int port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    return address;
}

std::unique_ptr<TlsStream> Shake(std::unique_ptr<TcpStream> tcp, const Identity& me, bool client) {
    using namespace std::chrono_literals;
    std::string error;
    auto tls = client ? TlsStream::Connect(std::move(tcp), me, net::DeadlineAfter(5s), error)
                      : TlsStream::Accept(std::move(tcp), me, net::DeadlineAfter(5s), error);
    EXPECT_TRUE(tls) << error;
    return tls;
}

std::vector<RecordingNotes::Note> RecordingNotes::Notes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return notes_;
}

}  // namespace transfer_test
