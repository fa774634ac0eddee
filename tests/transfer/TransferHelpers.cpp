#include "TransferHelpers.h"

#include <dirent.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

#include "core/ActivityLog.h"
#include "support/Files.h"
#include "transfer/WireFormat.h"

namespace transfer_test {

std::string Stream(const std::string& name, const std::string& body) {
    return wire::EncodeHeader(name, body.size()) + body;
}

bool SendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string ReadAll(int fd) {
    std::string data;
    char buffer[65536];
    ssize_t n;
    while ((n = recv(fd, buffer, sizeof buffer, 0)) > 0) {
        data.append(buffer, static_cast<size_t>(n));
    }
    return data;
}

void Reset(int fd) {
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}

std::string LogText() {
    CloseLog();
    return ReadFile(LogFilePath());
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

}  // namespace transfer_test
