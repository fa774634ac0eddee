#pragma once

#include <sys/socket.h>

// Owns one IPv4 socket (or none) and wraps the socket calls; discovery does all its datagram
// work through it. Flags: true for success, errno holds the cause of a failure. Byte counts:
// the system's count, or -1. Nothing here logs.
class GenSocket {
public:
    static constexpr int kNone = -1;

    GenSocket() = default;
    GenSocket(const GenSocket&) = delete;
    GenSocket& operator=(const GenSocket&) = delete;

    // Fails without a system call when target already holds a socket.
    virtual bool Accept(GenSocket& target, sockaddr* peer = nullptr, socklen_t* length = nullptr);
    virtual void Close();
    virtual int Recv(void* buffer, int capacity, int flags);
    // A peer that has gone gives -1 (EPIPE), never SIGPIPE.
    virtual int Send(const void* data, int length, int flags);
    virtual ~GenSocket();
    virtual bool Connect(const sockaddr* address, socklen_t length);
    virtual int RecvFrom(void* buffer, int capacity, sockaddr* source, socklen_t* length,
                         int flags);
    virtual int SendTo(const void* data, int length, const sockaddr* destination, socklen_t length_,
                       int flags);

    // A UDP socket; an already open one counts as success, so one socket serves every beacon.
    bool OpenDatagram();
    // UDP, address reuse, bound to any address and port, member of group, multicast TTL 3.
    bool OpenMulticastReceiver(int port, const char* group);
    // One datagram; text gets the source as dotted text, port its port. A datagram longer
    // than capacity is not cut short: the result is -1 with errno EMSGSIZE.
    int ReceiveFrom(char* buffer, int capacity, char* text, int textCapacity, int* port, int flags);
    // One datagram to group:port with multicast TTL 5.
    int SendMulticast(const void* data, int length, int port, const char* group);
    // host: dotted text or a host name; null means 255.255.255.255. 0 with errno EINVAL
    // when the host cannot be resolved.
    int SendToHost(const void* data, int length, int port, const char* host, int flags);
    bool Open(int port, int type, const char* address);
    // address: dotted text, or null for any address; "255.255.255.255" counts as invalid.
    bool Bind(int port, const char* address);
    bool Listen(int backlog);
    bool Shutdown(int how);
    bool GetPeerAddress(sockaddr* address, socklen_t* length);
    bool GetBoundAddress(sockaddr* address, socklen_t* length);
    bool ConnectToHost(const char* host, int port);
    // Blocks until data can be read or the peer has closed.
    bool WaitReadable();

    int handle() const { return handle_; }

private:
    int handle_ = kNone;
};
