#pragma once

#include <netinet/in.h>

#include <chrono>

#include "ftp/ByteStream.h"

class CancelSwitch;

// One IPv4 TCP socket (control or data connection, or a data listener) on which no wait is
// endless: connecting, accepting, reading and writing each give up after `timeout` without
// progress, and at once when the cancel switch is tripped. Errors are returned as values;
// errno holds the cause (ETIMEDOUT after a time-out, ECANCELED after a cancel).
class TimedSocket : public ByteStream {
public:
    TimedSocket(std::chrono::milliseconds timeout, const CancelSwitch* cancel);
    TimedSocket(const TimedSocket&) = delete;
    TimedSocket& operator=(const TimedSocket&) = delete;
    ~TimedSocket() override;

    bool Create();
    bool Bind(const sockaddr_in& local);
    // Connects and waits for the outcome.
    bool Connect(const sockaddr_in& peer);
    // Starts a connect without waiting; FinishConnect waits for its outcome.
    bool StartConnect(const sockaddr_in& peer);
    bool FinishConnect();
    bool Listen(int backlog);
    // Accepts one connection into target, which must hold no socket. When onlyFrom is given,
    // connections from any other address are closed and the wait goes on.
    bool Accept(TimedSocket& target, const in_addr* onlyFrom);

    long Read(char* buffer, size_t capacity) override;
    // Waits until the whole length is accepted. An error after part of it went out returns
    // that part, so the caller can send the rest again; a stall or a cancel returns -1 even
    // then, so that one stall costs one wait.
    long Write(const char* data, size_t length) override;

    // From now on no wait lasts beyond `end`, whatever progress is made; until ClearDeadline.
    void SetDeadline(std::chrono::steady_clock::time_point end) { deadline_ = end; }
    void ClearDeadline() { deadline_ = std::chrono::steady_clock::time_point::max(); }
    // True when something is waiting to be read, the peer has closed, or the socket failed.
    bool HasInput() const;

    bool LocalAddress(sockaddr_in& address) const;
    bool PeerAddress(sockaddr_in& address) const;
    // Closes: with an orderly end, unless the abortive close is on.
    void Close();
    // With the abortive close on, every close (ours, or the system's when the process dies)
    // ends the connection with a reset rather than an orderly end, so the peer cannot take
    // a cut-off stream for a whole one. Accepted connections inherit it from the listener.
    bool SetAbortiveClose(bool on);
    // Closes with a reset.
    void Reset();
    bool IsOpen() const { return fd_ >= 0; }

private:
    enum class Wait { Ready, TimedOut, Cancelled, Failed };
    Wait WaitFor(short events) const;

    std::chrono::milliseconds timeout_;
    std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
    const CancelSwitch* cancel_;
    int fd_ = -1;
    bool connecting_ = false;
};
