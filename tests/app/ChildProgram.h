#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

// A program a test starts: in the test's network namespace or a named one (ip netns), with
// some environment variables of its own, its output in a file. It never outlives the test:
// it is killed when the object goes, and when the test process dies.
class ChildProgram {
public:
    struct Options {
        std::vector<std::string> env;  // NAME=value, over the test's own environment
        std::string netns;             // a namespace of /run/netns, or "" for the test's own
        std::string output;            // standard output and error; "" for /dev/null
    };

    ChildProgram() = default;
    ChildProgram(const ChildProgram&) = delete;
    ChildProgram& operator=(const ChildProgram&) = delete;
    ~ChildProgram();

    // argv[0] is a path or a name found in PATH.
    bool Start(const std::vector<std::string>& argv, const Options& options);
    pid_t pid() const { return pid_; }
    // False once it has ended (then its wait status is kept).
    bool Running();
    // Sends the signal and waits for the end; the wait status, or -1 when it did not end in
    // time and had to be killed.
    int Stop(int signal, std::chrono::milliseconds limit);
    // The wait status once it has ended on its own within the limit, else -1.
    int Wait(std::chrono::milliseconds limit);

private:
    void Kill();

    pid_t pid_ = -1;
    int status_ = -1;
};
