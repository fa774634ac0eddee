#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/HandOverMessage.h"

// One running copy per user. The first start holds a lock in the runtime folder and listens on
// a local socket beside it; a later start finds the lock taken and hands its files over the
// socket instead of running a second copy, which would share the queue file and the log.
class InstanceGuard {
public:
    enum class Claim {
        Ours,         // no copy runs: this one is the copy, and listens
        Taken,        // another copy holds the lock: hand it over
        Unavailable,  // no trustworthy folder or socket: run without the guard
    };

    // folder: a private folder of ours (RuntimeFolder()); "" gives Unavailable.
    explicit InstanceGuard(std::string folder);
    InstanceGuard(const InstanceGuard&) = delete;
    InstanceGuard& operator=(const InstanceGuard&) = delete;
    ~InstanceGuard();

    Claim TryClaim();

    // To the copy that holds the lock: the paths (absolute), and waits for its answer. The
    // copy may still be starting, so its socket is tried again until patience runs out. The
    // token, if any, lets the copy bring its window forward (Wayland's XDG activation).
    bool HandOver(const std::vector<std::string>& paths, std::chrono::milliseconds patience,
                  const std::string& activationToken = "") const;

    // After Ours: answers hand-overs on a thread of its own, which calls onHandOver with the
    // paths of each (it must not wait for anything slow). Connections made before Serve wait.
    void Serve(std::function<void(std::vector<std::string>)> onHandOver);
    void Serve(std::function<void(HandOverMessage::Request)> onHandOver);
    // Stops serving and joins the thread; the lock is kept until destruction.
    void Stop();

    std::string LockPath() const { return folder_ + "/zingwell.lock"; }
    std::string SocketPath() const { return folder_ + "/zingwell.socket"; }

private:
    enum class Reply { Answered, Refused, None };
    enum class Progress { More, Whole, Failed };
    Reply Send(const std::string& message, std::chrono::steady_clock::time_point deadline) const;
    void ServeLoop();
    // Reads what a caller has sent so far, without waiting.
    static Progress Read(int connection, std::string& message);
    void Answer(int connection, const std::string& message);

    std::string folder_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::function<void(HandOverMessage::Request)> onHandOver_;
};
