#include "net/GenSocket.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "net/Wait.h"

namespace {

// Dotted text first; otherwise a host name's first IPv4 address. False leaves EINVAL.
bool ResolveHost(const char* host, in_addr_t& address) {
    address = inet_addr(host);
    if (address != INADDR_NONE) {
        return true;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* answer = nullptr;
    if (getaddrinfo(host, nullptr, &hints, &answer) != 0 || answer == nullptr) {
        errno = EINVAL;
        return false;
    }
    address = reinterpret_cast<sockaddr_in*>(answer->ai_addr)->sin_addr.s_addr;
    freeaddrinfo(answer);
    return true;
}

sockaddr_in MakeAddress(in_addr_t address, int port) {
    sockaddr_in result;
    memset(&result, 0, sizeof result);
    result.sin_family = AF_INET;
    result.sin_port = htons(static_cast<uint16_t>(port));
    result.sin_addr.s_addr = address;
    return result;
}

}  // namespace

GenSocket::~GenSocket() {
    Close();
}

bool GenSocket::Accept(GenSocket& target, sockaddr* peer, socklen_t* length) {
    if (target.handle_ != kNone) {
        return false;
    }
    target.handle_ = accept4(handle_, peer, length, SOCK_CLOEXEC);
    return target.handle_ != kNone;
}

void GenSocket::Close() {
    if (handle_ != kNone) {
        close(handle_);
        handle_ = kNone;
    }
}

int GenSocket::Recv(void* buffer, int capacity, int flags) {
    return static_cast<int>(recv(handle_, buffer, static_cast<size_t>(capacity), flags));
}

int GenSocket::Send(const void* data, int length, int flags) {
    return static_cast<int>(send(handle_, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL));
}

bool GenSocket::Connect(const sockaddr* address, socklen_t length) {
    return connect(handle_, address, length) == 0;
}

int GenSocket::RecvFrom(void* buffer, int capacity, sockaddr* source, socklen_t* length,
                        int flags) {
    return static_cast<int>(
        recvfrom(handle_, buffer, static_cast<size_t>(capacity), flags, source, length));
}

int GenSocket::SendTo(const void* data, int length, const sockaddr* destination, socklen_t length_,
                      int flags) {
    return static_cast<int>(sendto(handle_, data, static_cast<size_t>(length), flags | MSG_NOSIGNAL,
                                   destination, length_));
}

bool GenSocket::OpenDatagram() {
    if (handle_ != kNone) {
        return true;
    }
    handle_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    return handle_ != kNone;
}

bool GenSocket::OpenMulticastReceiver(int port, const char* group) {
    if (handle_ != kNone) {
        return false;
    }
    handle_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (handle_ == kNone) {
        return false;
    }
    // On failure below the socket stays open; Close or destruction releases it.
    int reuse = 1;
    if (setsockopt(handle_, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse) != 0) {
        return false;
    }
    sockaddr_in local = MakeAddress(htonl(INADDR_ANY), port);
    if (bind(handle_, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        return false;
    }
    ip_mreq membership;
    memset(&membership, 0, sizeof membership);
    membership.imr_multiaddr.s_addr = inet_addr(group);
    membership.imr_interface.s_addr = htonl(INADDR_ANY);
    if (setsockopt(handle_, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        return false;
    }
    int ttl = 3;
    return setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) == 0;
}

int GenSocket::ReceiveFrom(char* buffer, int capacity, char* text, int textCapacity, int* port,
                           int flags) {
    sockaddr_in source;
    memset(&source, 0, sizeof source);
    socklen_t length = sizeof source;
    // MSG_TRUNC reports a datagram's real length, so one that did not fit is seen as such.
    int n = RecvFrom(buffer, capacity, reinterpret_cast<sockaddr*>(&source), &length,
                     flags | MSG_TRUNC);
    if (n == -1) {
        return -1;
    }
    if (port != nullptr) {
        *port = ntohs(source.sin_port);
    }
    if (text != nullptr && textCapacity > 0) {
        char dotted[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &source.sin_addr, dotted, sizeof dotted);
        snprintf(text, static_cast<size_t>(textCapacity), "%s", dotted);
    }
    if (n > capacity) {
        errno = EMSGSIZE;
        return -1;
    }
    return n;
}

int GenSocket::SendMulticast(const void* data, int length, int port, const char* group) {
    int ttl = 5;
    setsockopt(handle_, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
    return SendToHost(data, length, port, group, 0);
}

int GenSocket::SendToHost(const void* data, int length, int port, const char* host, int flags) {
    in_addr_t address = htonl(INADDR_BROADCAST);
    if (host != nullptr && !ResolveHost(host, address)) {
        return 0;
    }
    sockaddr_in destination = MakeAddress(address, port);
    return SendTo(data, length, reinterpret_cast<sockaddr*>(&destination), sizeof destination,
                  flags);
}

bool GenSocket::Open(int port, int type, const char* address) {
    if (handle_ != kNone) {
        return false;
    }
    handle_ = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (handle_ == kNone) {
        return false;
    }
    if (!Bind(port, address)) {
        int saved = errno;
        Close();
        errno = saved;
        return false;
    }
    return true;
}

bool GenSocket::Bind(int port, const char* address) {
    in_addr_t local = htonl(INADDR_ANY);
    if (address != nullptr) {
        local = inet_addr(address);
        if (local == INADDR_NONE) {
            errno = EINVAL;
            return false;
        }
    }
    sockaddr_in where = MakeAddress(local, port);
    return bind(handle_, reinterpret_cast<sockaddr*>(&where), sizeof where) == 0;
}

bool GenSocket::Listen(int backlog) {
    return listen(handle_, backlog) == 0;
}

bool GenSocket::Shutdown(int how) {
    return shutdown(handle_, how) == 0;
}

bool GenSocket::GetPeerAddress(sockaddr* address, socklen_t* length) {
    return getpeername(handle_, address, length) == 0;
}

bool GenSocket::GetBoundAddress(sockaddr* address, socklen_t* length) {
    return getsockname(handle_, address, length) == 0;
}

bool GenSocket::ConnectToHost(const char* host, int port) {
    if (host == nullptr) {
        return false;
    }
    in_addr_t address = 0;
    if (!ResolveHost(host, address)) {
        return false;
    }
    sockaddr_in destination = MakeAddress(address, port);
    return Connect(reinterpret_cast<sockaddr*>(&destination), sizeof destination);
}

bool GenSocket::WaitReadable() {
    return handle_ != kNone &&
           net::WaitFor(handle_, POLLIN, nullptr, net::kNoDeadline) == net::Wait::Ready;
}
