#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

// A server process a test starts and stops by its PID. It dies with the test process too.
class ChildProcess {
public:
    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Stop(); }

    // Starts argv[0] with these arguments; its standard output is kept readable through
    // ReadLine when captureOutput is set, else it goes to standard error.
    bool Start(const std::vector<std::string>& argv, bool captureOutput);
    // One line of its standard output, waiting at most limitMs; empty on failure.
    std::string ReadLine(int limitMs);
    bool Running();
    pid_t pid() const { return pid_; }
    // SIGTERM, then SIGKILL if it lingers; waits for it.
    void Stop();

private:
    pid_t pid_ = -1;
    int output_ = -1;
};
