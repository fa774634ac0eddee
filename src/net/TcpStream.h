#pragma once

#include <netinet/in.h>

#include <chrono>

#include "net/ByteStream.h"

class Waker;

// One IPv4 TCP socket (a connection, or a listener) on which no wait is endless unless asked:
// connecting, accepting, reading and writing each give up after `stall` without progress
// (milliseconds::max(): never), at the deadline, and at once when the waker is woken.
class TcpStream : public ByteStream {
public:
    static constexpr std::chrono::milliseconds kNoStallLimit = std::chrono::milliseconds::max();

    TcpStream(std::chrono::milliseconds stall, const Waker* waker);
    TcpStream(const TcpStream&) = delete;
    TcpStream& operator=(const TcpStream&) = delete;
    // Closes as set: with a reset while the abortive close is on, else in order.
    ~TcpStream() override;

    // A non-blocking socket; any earlier one is closed.
    bool Create();
    bool Bind(const sockaddr_in& local);
    // Lets a restarted listener bind while old connections linger in TIME_WAIT.
    bool SetReuseAddress();
    // Connects and waits for the outcome.
    bool Connect(const sockaddr_in& peer);
    // Starts a connect without waiting; FinishConnect waits for its outcome.
    bool StartConnect(const sockaddr_in& peer);
    bool FinishConnect();
    bool Listen(int backlog);
    // Accepts one connection into target, which must hold no socket. When onlyFrom is given,
    // connections from any other address are closed and the wait goes on.
    bool Accept(TcpStream& target, const in_addr* onlyFrom);
    // One accept without waiting; peer gets the connection's address. errno tells a failure.
    bool TryAccept(TcpStream& target, sockaddr_in* peer);

    long Read(char* buffer, size_t capacity) override;
    // The bytes that have come, left for the next Read; never waits: -1 with EAGAIN when
    // none has come yet, 0 at the end of the stream.
    long Peek(char* buffer, size_t capacity);
    long Write(const char* data, size_t length) override;
    net::Wait WaitFor(Direction direction, net::Clock::time_point deadline) override;
    void SetDeadline(net::Clock::time_point end) override { deadline_ = end; }
    void ClearDeadline() { deadline_ = net::kNoDeadline; }
    void SetStallTimeout(std::chrono::milliseconds stall) { stall_ = stall; }
    std::chrono::milliseconds stallTimeout() const { return stall_; }

    bool EndOutput() override;
    bool AwaitPeerEnd(net::Clock::time_point deadline) override;
    void Close() override;
    void Reset() override;
    // From another thread: shuts both directions, so that every wait on the socket ends.
    bool Interrupt();

    // With the abortive close on, every close (ours but Close(), or the system's when the
    // process dies) ends the connection with a reset rather than an orderly end, so the peer
    // cannot take a cut-off stream for a whole one. Accepted connections inherit it from the
    // listener.
    bool SetAbortiveClose(bool on);
    // True when something is waiting to be read, the peer has closed, or the socket failed.
    bool HasInput() const;
    bool LocalAddress(sockaddr_in& address) const;
    bool PeerAddress(sockaddr_in& address) const;
    bool IsOpen() const { return fd_ >= 0; }
    int fd() const { return fd_; }

private:
    // One wait of an operation: up to the stall time, the deadline or a wake.
    net::Wait WaitFor(short events) const;
    void Release();

    std::chrono::milliseconds stall_;
    net::Clock::time_point deadline_ = net::kNoDeadline;
    const Waker* waker_;
    int fd_ = -1;
    bool connecting_ = false;
};
