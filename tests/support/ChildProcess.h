#pragma once

#include <signal.h>
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

// How a program starts: where, with what, and where its output goes.
struct ChildOptions {
    static ChildOptions Piped(std::vector<std::string> env = {}) {
        ChildOptions options;
        options.env = std::move(env);
        options.pipe = true;
        return options;
    }

    std::vector<std::string> env;  // NAME=value, over the test's own environment
    std::string netns;             // a namespace of /run/netns, or "" for the test's own
    std::string output;            // standard output and error; "" for /dev/null
    bool pipe = false;             // standard output to ReadLine instead
};

// A process a test starts: a program (in the test's network namespace or a named one, with
// variables of its own) or a function of the test run in a fork. It leads a process group of
// its own, never outlives the test (it dies with the test process, and is killed with its
// group when the object goes), and its output goes to a file or a pipe the test reads.
class ChildProcess {
public:
    using Options = ChildOptions;

    ChildProcess() = default;
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;
    ~ChildProcess() { Kill(); }

    // argv[0] is a path or a name found in PATH.
    bool Start(const std::vector<std::string>& argv, const Options& options = {});
    // Runs `body` in a fork of the test process, which exits 0 after it.
    bool Fork(const std::function<void()>& body);
    pid_t pid() const { return pid_; }
    // False once it has ended (then its wait status is kept).
    bool Running();
    void Signal(int signal);
    // The wait status once it has ended on its own within the limit, else -1.
    int Wait(std::chrono::milliseconds limit = std::chrono::seconds(60));
    // Sends the signal and waits for the end; the wait status, or -1 when it did not end in
    // time and had to be killed.
    int Stop(int signal = SIGTERM, std::chrono::milliseconds limit = std::chrono::seconds(5));
    // SIGKILL to it and its group, as a crash or a power cut; waits for it.
    void Kill();
    // One line of its standard output (with Options::pipe), waiting at most `limit`; empty on
    // failure.
    std::string ReadLine(std::chrono::milliseconds limit = std::chrono::seconds(15));

private:
    pid_t pid_ = -1;
    int status_ = -1;
    int output_ = -1;
};

// Runs `body` in a process of its own and waits for its end: the wait status.
int RunInChild(const std::function<void()>& body);
// Whether a wait status (-1: none) is an exit with this code.
bool ExitedWith(int status, int code = 0);
