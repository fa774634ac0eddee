#include "support/Network.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <thread>

#include "support/Files.h"

int RunShell(const std::string& command) {
    int status = system(command.c_str());
    if (status == -1 || !WIFEXITED(status)) {
        return -1;
    }
    return WEXITSTATUS(status);
}

bool EnterOwnNetworkNamespace() {
    if (unshare(CLONE_NEWNET) != 0) {
        return false;
    }
    return RunShell("ip link set lo up && ip route add 224.0.0.0/4 dev lo src 127.0.0.1") == 0;
}

int ListenOnLoopback(int& port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(fd, 128) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    port = ntohs(address.sin_port);
    return fd;
}

int ConnectToLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

namespace {

int ConnectTo(int fd, const std::string& address, int port) {
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address.c_str(), &peer.sin_addr) != 1 ||
        connect(fd, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int ConnectFrom(const std::string& source, int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, source.c_str(), &address.sin_addr);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        if (fd >= 0) {
            close(fd);
        }
        return -1;
    }
    return ConnectTo(fd, "127.0.0.1", port);
}

int ConnectInNamespace(const std::string& netns, const std::string& address, int port) {
    const int ns = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (ns < 0) {
        return -1;
    }
    int fd = -1;
    // A thread of its own moves into the namespace and ends there; the test stays where it is.
    std::thread([&] {
        if (setns(ns, CLONE_NEWNET) == 0) {
            const int made = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            fd = made < 0 ? -1 : ConnectTo(made, address, port);
        }
    }).join();
    close(ns);
    return fd;
}

bool ListsSocket(pid_t pid, const char* table, int port, bool remote, const char* state) {
    const std::string process = pid > 0 ? std::to_string(pid) : "self";
    std::istringstream lines(ReadFile("/proc/" + process + "/net/" + table));
    std::string line;
    std::getline(lines, line);  // the column titles
    char wanted[8];
    snprintf(wanted, sizeof wanted, ":%04X", port);
    while (std::getline(lines, line)) {
        std::istringstream words(line);
        std::string slot, local, peer, status;
        words >> slot >> local >> peer >> status;
        const std::string& address = remote ? peer : local;
        if (address.size() >= 5 && address.compare(address.size() - 5, 5, wanted) == 0 &&
            (state == nullptr || status == state)) {
            return true;
        }
    }
    return false;
}

bool SendAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

void CloseWithReset(int fd) {
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
}
